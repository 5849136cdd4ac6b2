#include "sky_flight.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace {

constexpr double gravity = 9.80665;
constexpr double step = 0.2;  // seconds of the integration
constexpr double longest_flight = 12 * 3600;  // seconds; a plan that never lands stops there
constexpr double equator_radius = 6378137;  // WGS84
constexpr double eccentricity_squared = 0.00669437999014;
constexpr double canopy_opening = 20;  // seconds from tumbling to the steady fall
constexpr double balloon_lag = 3;  // seconds for the balloon to take up a change of wind

// Numbers from the seed alike on every machine: SplitMix64.
std::uint64_t mixed(std::uint64_t seed, std::uint64_t stream, std::uint64_t index)
{
    std::uint64_t z = seed * 0x9E3779B97F4A7C15ULL + stream * 0xBF58476D1CE4E5B9ULL + index + 0x94D049BB133111EBULL;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// Uniform in [-1, 1].
double white(std::uint64_t seed, std::uint64_t stream, double at)
{
    const auto index = static_cast<std::uint64_t>(static_cast<std::int64_t>(std::floor(at)));
    return static_cast<double>(mixed(seed, stream, index) >> 11) / static_cast<double>(1ULL << 52) - 1;
}

// A noise that wanders smoothly over about `period`, within [-1, 1].
double smooth(std::uint64_t seed, std::uint64_t stream, double at, double period)
{
    const double x = at / period;
    const double f = x - std::floor(x);
    const double ease = (1 - std::cos(f * std::numbers::pi)) / 2;
    return white(seed, stream, x) * (1 - ease) + white(seed, stream, x + 1) * ease;
}

double radians(double degrees)
{
    return degrees * std::numbers::pi / 180;
}

// Metres per degree of latitude and of longitude at a latitude, on WGS84.
void metres_per_degree(double latitude, double& north, double& east)
{
    const double s = std::sin(radians(latitude));
    const double w = 1 - eccentricity_squared * s * s;
    const double meridian = equator_radius * (1 - eccentricity_squared) / (w * std::sqrt(w));
    const double normal = equator_radius / std::sqrt(w);
    north = meridian * std::numbers::pi / 180;
    east = normal * std::cos(radians(latitude)) * std::numbers::pi / 180;
}

wind_vector_mps wind_at(const sky_plan& plan, double altitude, double elapsed)
{
    wind_vector_mps w = wind_between_levels(plan.winds, altitude);
    if (!plan.wind_change.empty()) {
        const wind_vector_mps change = wind_between_levels(plan.wind_change, altitude);
        const double hours = elapsed / 3600;
        w.east += change.east * hours;
        w.north += change.north * hours;
    }
    return w;
}

// The fall's speed through the air while the parachute is tangled: faster,
// and unsteady, easing to the steady fall as the canopy opens.
double tumbling_factor(const sky_plan& plan, double since_burst)
{
    if (since_burst >= plan.tumbling_seconds + canopy_opening) return 1;
    const double unsteady = plan.tumbling_speedup * (1 + 0.3 * smooth(plan.seed, 3, since_burst, 8));
    const double left =
        since_burst < plan.tumbling_seconds ? 1 : 1 - (since_burst - plan.tumbling_seconds) / canopy_opening;
    return 1 + (unsteady - 1) * left;
}

struct moving {
    double elapsed = 0;
    double latitude = 0;
    double longitude = 0;
    double altitude = 0;
    double east = 0;  // metres per second over the ground
    double north = 0;
    double fall = 0;  // metres per second downwards through the air
};

void drift(moving& m, const wind_vector_mps& wind, double lag)
{
    const double taken = 1 - std::exp(-step / std::max(lag, step));
    m.east += (wind.east - m.east) * taken;
    m.north += (wind.north - m.north) * taken;
    double per_north = 0;
    double per_east = 0;
    metres_per_degree(m.latitude, per_north, per_east);
    m.latitude += m.north * step / per_north;
    m.longitude += m.east * step / per_east;
    if (m.longitude >= 180) m.longitude -= 360;
    if (m.longitude < -180) m.longitude += 360;
}

void record(sky_flight& flight, const moving& m)
{
    while (static_cast<double>(flight.seconds.size()) <= m.elapsed + 1e-9) {
        flight.seconds.push_back(sky_point{m.latitude, m.longitude, m.altitude, std::hypot(m.east, m.north)});
    }
}

}  // namespace

sky_flight fly_sky(const sky_plan& plan)
{
    sky_flight flight;
    flight.plan = plan;
    const double ascent_rate = std::max(plan.ascent_rate, 0.1);
    const double sea_level_rate = std::max(plan.sea_level_descent_rate, 0.1);
    const double sea_level = sky_density(0);
    moving m;
    m.latitude = plan.launch_latitude;
    m.longitude = plan.launch_longitude;
    m.altitude = plan.launch_altitude;
    flight.liftoff = std::max(plan.pad_seconds, 0.0);
    m.elapsed = flight.liftoff;
    record(flight, m);  // every second on the pad

    bool burst = false;
    while (m.elapsed < longest_flight) {
        const wind_vector_mps wind = wind_at(plan, m.altitude, m.elapsed);
        const double draught = plan.vertical_air * smooth(plan.seed, 2, m.elapsed, 60);
        double climb = 0;
        if (!burst) {
            climb = ascent_rate * (1 + 0.08 * smooth(plan.seed, 1, m.elapsed, 300)) + draught;
            drift(m, wind, balloon_lag);
        } else {
            const double steady = sea_level_rate * std::pow(sea_level / sky_density(m.altitude), plan.descent_exponent);
            const double terminal = steady * tumbling_factor(plan, m.elapsed - flight.burst);
            m.fall += gravity * (1 - (m.fall / terminal) * (m.fall / terminal)) * step;
            climb = draught - m.fall;
            drift(m, wind, terminal / (2 * gravity));
        }
        const double next = m.altitude + climb * step;
        if (burst && next <= plan.ground_altitude) {
            const double part = climb < 0 ? (m.altitude - plan.ground_altitude) / -climb : 0;
            m.elapsed += part;
            m.altitude = plan.ground_altitude;
            break;
        }
        m.altitude = next;
        m.elapsed += step;
        if (!burst && m.altitude >= plan.burst_altitude) {
            burst = true;
            flight.burst = m.elapsed;
            m.fall = -climb;  // still rising as the balloon goes
        }
        record(flight, m);
    }
    flight.landing = m.elapsed;
    flight.landing_point = sky_point{m.latitude, m.longitude, m.altitude, 0};
    if (!burst) flight.burst = m.elapsed;
    return flight;
}

sky_fix sky_fix_at(const sky_flight& flight, double elapsed)
{
    sky_fix fix;
    const sky_plan& plan = flight.plan;
    if (!(elapsed > 0)) elapsed = 0;
    if (elapsed >= flight.landing) {
        fix.stage = sky_stage::landed;
        fix.truth = flight.landing_point;
    } else {
        fix.stage = elapsed < flight.liftoff ? sky_stage::pad : elapsed < flight.burst ? sky_stage::ascent : sky_stage::descent;
        const auto whole = static_cast<std::size_t>(elapsed);
        const sky_point& a = flight.seconds[std::min(whole, flight.seconds.size() - 1)];
        const sky_point& b = flight.seconds[std::min(whole + 1, flight.seconds.size() - 1)];
        const double f = elapsed - static_cast<double>(whole);
        fix.truth = sky_point{a.latitude + (b.latitude - a.latitude) * f, a.longitude + (b.longitude - a.longitude) * f,
                              a.altitude + (b.altitude - a.altitude) * f, a.speed + (b.speed - a.speed) * f};
        if (whole + 1 < flight.seconds.size() && std::fabs(b.longitude - a.longitude) > 180) fix.truth.longitude = a.longitude;
    }
    // The receiver's GPS: a wander over a minute or so, and a jitter of
    // its own at every fix.
    double per_north = 0;
    double per_east = 0;
    metres_per_degree(fix.truth.latitude, per_north, per_east);
    const double noise = plan.gps_noise;
    const double north = noise * (smooth(plan.seed, 4, elapsed, 70) + 0.4 * white(plan.seed, 5, elapsed));
    const double east = noise * (smooth(plan.seed, 6, elapsed, 90) + 0.4 * white(plan.seed, 7, elapsed));
    const double up = 2 * noise * (smooth(plan.seed, 8, elapsed, 50) + 0.4 * white(plan.seed, 9, elapsed));
    fix.reported = fix.truth;
    fix.reported.latitude = std::clamp(fix.truth.latitude + north / per_north, -90.0, 90.0);
    fix.reported.longitude = fix.truth.longitude + east / per_east;
    fix.reported.altitude = fix.truth.altitude + up;
    return fix;
}
