#include "flight_simulation.h"

#include <cmath>
#include <ctime>
#include <numbers>

namespace {

constexpr long double metres_per_degree = 111320.0L;
constexpr long double knots_per_metre_per_second = 3600.0L / 1852.0L;
constexpr long double battery_volts_per_unit = 0.0196L;
// Far beyond any clock, well inside time_t: a larger time is a fault, not a date.
constexpr long double latest_frame_time = 1e15L;
constexpr long double satellite_period = 600;  // seconds for one swing from 9 to 12, 6 and back

long double ascent_time(const flight_plan& plan)
{
    const long double rise = plan.burst_altitude - plan.launch_altitude;
    return rise > 0 ? rise / plan.ascent_rate : 0;
}

// Nearest integer within [low, high]; NaN (which a sane plan never makes)
// reads as low rather than as undefined behaviour.
long rounded_within(long double value, long low, long high)
{
    if (!(value >= low)) return low;
    if (value > high) return high;
    return std::lround(value);
}

void set_frame_time(telemetry_fields& fields, long double when)
{
    fields.hours = fields.minutes = fields.seconds = 0;
    const long double whole = std::floor(when);
    if (!(whole >= 0) || whole > latest_frame_time) return;
    const auto seconds = static_cast<std::time_t>(whole);
    std::tm local{};
    if (localtime_r(&seconds, &local) == nullptr) return;
    fields.hours = static_cast<std::uint8_t>(local.tm_hour);
    fields.minutes = static_cast<std::uint8_t>(local.tm_min);
    fields.seconds = static_cast<std::uint8_t>(local.tm_sec);
}

}  // namespace

long double landing_time(const flight_plan& plan)
{
    const long double fall = plan.burst_altitude - plan.launch_altitude;
    return ascent_time(plan) + (fall > 0 ? fall / plan.descent_rate : 0);
}

flight_sample flight_sample_at(const flight_plan& plan, long double elapsed)
{
    flight_sample s;
    s.elapsed = elapsed;
    const long double burst = ascent_time(plan);
    const long double landing = landing_time(plan);
    if (elapsed < burst) {
        s.phase = flight_phase::ascent;
        s.altitude = plan.launch_altitude + plan.ascent_rate * elapsed;
    } else if (elapsed < landing) {
        s.phase = flight_phase::descent;
        s.altitude = plan.burst_altitude - plan.descent_rate * (elapsed - burst);
    } else {
        s.phase = flight_phase::landed;
        s.altitude = plan.launch_altitude;
    }

    const long double airborne = elapsed < landing ? elapsed : landing;
    const long double launch_radians = plan.launch_latitude * std::numbers::pi_v<long double> / 180;
    s.latitude = plan.launch_latitude + plan.wind_north * airborne / metres_per_degree;
    s.longitude = plan.launch_longitude +
                  plan.wind_east * airborne / (metres_per_degree * std::cos(launch_radians));
    s.speed_knots = s.phase == flight_phase::landed
                        ? 0
                        : std::hypot(plan.wind_north, plan.wind_east) * knots_per_metre_per_second;

    s.temperature =
        plan.ground_temperature - plan.lapse_rate * (s.altitude - plan.launch_altitude) / 1000;
    const long double voltage = plan.battery_start - plan.battery_drain * elapsed / 3600;
    s.battery_voltage = voltage > 0 ? voltage : 0;
    const long double swing =
        std::sin(2 * std::numbers::pi_v<long double> * elapsed / satellite_period);
    s.satellites = static_cast<int>(std::lround(9 + 3 * swing));
    return s;
}

flight_sample sky_sample_at(const sky_flight& flight, const flight_plan& plan, long double elapsed)
{
    const sky_fix fix = sky_fix_at(flight, static_cast<double>(elapsed));
    flight_sample s;
    s.elapsed = elapsed;
    switch (fix.stage) {
    case sky_stage::pad:
        s.phase = flight_phase::pad;
        break;
    case sky_stage::ascent:
        s.phase = flight_phase::ascent;
        break;
    case sky_stage::descent:
        s.phase = flight_phase::descent;
        break;
    case sky_stage::landed:
        s.phase = flight_phase::landed;
        break;
    }
    s.latitude = fix.reported.latitude;
    s.longitude = fix.reported.longitude;
    s.altitude = fix.reported.altitude;
    s.speed_knots = fix.truth.speed * knots_per_metre_per_second;
    s.temperature = plan.ground_temperature -
                    plan.lapse_rate * (fix.truth.altitude - flight.plan.launch_altitude) / 1000;
    const long double voltage = plan.battery_start - plan.battery_drain * elapsed / 3600;
    s.battery_voltage = voltage > 0 ? voltage : 0;
    s.satellites = flight_sample_at(plan, elapsed).satellites;
    return s;
}

flight_frame step_flight(flight_state& state)
{
    flight_frame frame;
    const long double elapsed = static_cast<long double>(state.frames) * state.step;
    frame.sample = state.sky ? sky_sample_at(*state.sky, state.plan, elapsed) : flight_sample_at(state.plan, elapsed);
    ++state.frames;

    const flight_sample& s = frame.sample;
    telemetry_fields& f = frame.fields;
    // C++20 conversion to a signed type is modular: 32768 becomes -32768.
    f.counter = static_cast<std::int16_t>(static_cast<std::uint16_t>(state.frames));
    set_frame_time(f, state.start_time + elapsed);
    f.latitude = static_cast<float>(s.latitude);
    f.longitude = static_cast<float>(s.longitude);
    f.altitude = static_cast<std::int16_t>(rounded_within(s.altitude, -32768, 32767));
    f.speed = static_cast<std::uint8_t>(rounded_within(s.speed_knots, 0, 255));
    f.satellites = static_cast<std::uint8_t>(rounded_within(s.satellites, 0, 255));
    f.temperature = static_cast<std::int8_t>(rounded_within(s.temperature, -128, 127));
    f.battery = static_cast<std::uint8_t>(
        rounded_within(s.battery_voltage / battery_volts_per_unit, 0, 255));
    return frame;
}
