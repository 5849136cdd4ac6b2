#include "landing_prediction.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "geodesy.h"
#include "ground_destination.h"

namespace {

// Faster than any wind or fall: a fix that implies more is a GPS glitch.
constexpr double fastest_drift = 150;  // metres per second over the ground
constexpr double fastest_climb = 150;  // metres per second up or down
constexpr std::size_t jumps_before_following = 5;
// Fixes farther apart than this say little about the wind between them.
constexpr double longest_leg = 60;  // seconds
// GPS heights wander by some metres on the ground; a climb of this much,
// held over three fixes, is no wander.
constexpr double liftoff_rise = 50;  // metres
constexpr double pad_wander = 10;  // metres
constexpr double burst_drop = 150;  // metres below the highest point, over three fixes
constexpr std::size_t fixes_to_be_sure = 3;
constexpr double still_seconds = 60;
constexpr double still_range = 15;  // metres of height
// Fall speeds are measured over 20 s (the heights are whole metres and
// wander), one every 10 s, and only once the tumbling after the burst is
// over (follow_the_tumbling).
constexpr double rate_leg = 20;  // seconds
constexpr double rate_every = 10;  // seconds
constexpr double tumbling_at_least = 120;  // seconds after the burst
constexpr double settled_change = 0.15;
constexpr double opening_at_latest = 600;  // seconds after the burst
constexpr double climb_window = 300;  // seconds over which the climb rate is measured
constexpr double default_ascent_rate = 5;  // until a climb has been measured
constexpr double slowest_ascent = 1;
constexpr double step_height = wind_band_height;
constexpr double path_every = 1000;  // metres of height between points of the path
constexpr double unlike_from = 500;  // metres: a band above the highest measured
constexpr double unlike_over = 8000;  // metres

double to_radians(double degrees)
{
    return degrees * std::numbers::pi / 180;
}

double to_degrees(double radians)
{
    return radians * 180 / std::numbers::pi;
}

bool is_usable(const track_sample& s)
{
    return std::isfinite(s.time) && std::isfinite(s.latitude) && std::isfinite(s.longitude) &&
           std::isfinite(s.altitude) && std::fabs(s.latitude) <= 90 && std::fabs(s.longitude) <= 180 &&
           !(s.latitude == 0 && s.longitude == 0) && s.altitude > -1000 && s.altitude < 60000;
}

// The i-th newest fix taken (0 is the newest); i < recent_count.
const track_sample& nth_newest(const landing_predictor& p, std::size_t i)
{
    const std::size_t size = p.recent.size();
    return p.recent[(p.recent_next + size - 1 - i) % size];
}

// The newest fix taken at or before `time`, if the fixes kept reach back so far.
const track_sample* newest_at_or_before(const landing_predictor& p, double time)
{
    for (std::size_t i = 0; i < p.recent_count; ++i) {
        const track_sample& s = nth_newest(p, i);
        if (s.time <= time) return &s;
    }
    return nullptr;
}

void remember(landing_predictor& p, const track_sample& s)
{
    p.recent[p.recent_next] = s;
    p.recent_next = (p.recent_next + 1) % p.recent.size();
    p.recent_count = std::min(p.recent_count + 1, p.recent.size());
}

struct ground_move {
    double east = 0;
    double north = 0;
    double distance = 0;
};

ground_move move_between(const track_sample& from, const track_sample& to)
{
    const ground_leg leg = ground_path(from.latitude, from.longitude, to.latitude, to.longitude);
    const double azimuth = to_radians(leg.azimuth);
    return ground_move{leg.distance * std::sin(azimuth), leg.distance * std::cos(azimuth), leg.distance};
}

void add_leg(landing_predictor& p, leg_phase phase, const track_sample& from, const track_sample& to,
             double sign = 1)
{
    const double seconds = to.time - from.time;
    if (!(seconds > 0) || seconds > longest_leg) return;
    const ground_move move = move_between(from, to);
    add_wind_leg(p.winds, phase, from.altitude, to.altitude, seconds, move.east, move.north, sign);
}

// Adds (or takes back) every leg between the fixes kept from `since` on.
void replay_legs(landing_predictor& p, leg_phase phase, double since, double sign)
{
    for (std::size_t i = p.recent_count; i-- > 1;) {
        const track_sample& from = nth_newest(p, i);
        if (from.time < since) continue;
        add_leg(p, phase, from, nth_newest(p, i - 1), sign);
    }
}

// Whether the newest fixes, enough of them to be sure, all pass a test.
template <typename Test>
bool newest_fixes_all(const landing_predictor& p, Test test)
{
    if (p.recent_count < fixes_to_be_sure) return false;
    for (std::size_t i = 0; i < fixes_to_be_sure; ++i) {
        if (!test(nth_newest(p, i))) return false;
    }
    return true;
}

void watch_the_pad(landing_predictor& p, const track_sample& s)
{
    if (newest_fixes_all(p, [&](const track_sample& f) { return f.altitude > p.pad_altitude + liftoff_rise; })) {
        // Liftoff was the last fix still at the pad's height.
        const track_sample* start = nullptr;
        for (std::size_t i = 0; i < p.recent_count && start == nullptr; ++i) {
            if (nth_newest(p, i).altitude <= p.pad_altitude + pad_wander) start = &nth_newest(p, i);
        }
        if (start == nullptr) start = &nth_newest(p, p.recent_count - 1);
        p.launch = *start;
        p.highest = s;
        p.progress = flight_progress::ascent;
        replay_legs(p, leg_phase::rising, start->time, 1);
        return;
    }
    if (newest_fixes_all(p, [&](const track_sample& f) { return f.altitude < p.pad_altitude - burst_drop; })) {
        // Heard first in the fall: the top of what was heard stands for the burst.
        p.progress = flight_progress::descent;
        p.burst = p.highest;
        return;
    }
    if (std::fabs(s.altitude - p.pad_altitude) <= 3 * pad_wander) {
        const track_sample& before = nth_newest(p, 1);
        const double weight = std::min(1.0, (s.time - before.time) / still_seconds);
        p.pad_altitude += weight * (s.altitude - p.pad_altitude);
    }
    if (s.altitude > p.highest.altitude) p.highest = s;
}

void watch_the_climb(landing_predictor& p, const track_sample& s)
{
    if (s.altitude > p.highest.altitude) p.highest = s;
    if (!newest_fixes_all(p, [&](const track_sample& f) { return f.altitude < p.highest.altitude - burst_drop; }))
        return;
    p.burst = p.highest;
    p.progress = flight_progress::descent;
    // The fall so far was counted as climb while it was not yet certain.
    replay_legs(p, leg_phase::rising, p.highest.time, -1);
    replay_legs(p, leg_phase::falling, p.highest.time, 1);
}

// The fall speed reduced to sea level on the constant-drag law, over a leg.
std::optional<double> sea_level_speed(const track_sample& from, const track_sample& to)
{
    const double seconds = to.time - from.time;
    const double rate = (from.altitude - to.altitude) / seconds;
    if (!(seconds > 0) || !(rate > 0.5)) return std::nullopt;
    return rate * std::exp(-0.5 * thinning_at((from.altitude + to.altitude) / 2));
}

// How the fall's speed reduced to sea level changed over the last minute
// against the minute before, as a fraction of the earlier; none when the
// fixes kept do not reach back two minutes.
std::optional<double> minute_change(const landing_predictor& p, const track_sample& s)
{
    const track_sample* minute_ago = newest_at_or_before(p, s.time - 60);
    const track_sample* two_minutes_ago = newest_at_or_before(p, s.time - 120);
    if (minute_ago == nullptr || two_minutes_ago == nullptr || two_minutes_ago->time < p.burst->time)
        return std::nullopt;
    const std::optional<double> last = sea_level_speed(*minute_ago, s);
    const std::optional<double> before = sea_level_speed(*two_minutes_ago, *minute_ago);
    if (!last || !before) return std::nullopt;
    return (*last - *before) / *before;
}

// The tumbling is over once the speed holds from one minute to the next,
// two minutes after the burst at the earliest. A tangle can also fall
// steadily for a while: when the canopy then opens, the speed drops at once
// by more than a gradual thickening of the air explains, and what was
// measured before it goes.
void follow_the_tumbling(landing_predictor& p, const track_sample& s)
{
    const double since_burst = s.time - p.burst->time;
    if (since_burst < tumbling_at_least) return;
    const std::optional<double> change = minute_change(p, s);
    if (!p.descent_settled) {
        p.descent_settled = change && std::fabs(*change) <= settled_change;
        return;
    }
    if (since_burst <= opening_at_latest && change && *change < -settled_change && p.calibration.count > 0) {
        p.calibration = descent_calibration{};
        p.last_rate_time = s.time;
    }
}

void watch_the_fall(landing_predictor& p, const track_sample& s)
{
    const track_sample* still_from = newest_at_or_before(p, s.time - still_seconds);
    if (still_from != nullptr) {
        double low = still_from->altitude;
        double high = low;
        for (std::size_t i = 0; i < p.recent_count && &nth_newest(p, i) != still_from; ++i) {
            low = std::min(low, nth_newest(p, i).altitude);
            high = std::max(high, nth_newest(p, i).altitude);
        }
        if (high - low <= still_range) {
            p.progress = flight_progress::landed;
            p.landed = *still_from;
            return;
        }
    }
    follow_the_tumbling(p, s);
    if (!p.descent_settled || s.time - p.last_rate_time < rate_every) return;
    const track_sample* from = newest_at_or_before(p, s.time - rate_leg);
    if (from == nullptr || s.time - from->time > 3 * rate_leg || from->time < p.burst->time) return;
    const double rate = (from->altitude - s.altitude) / (s.time - from->time);
    add_descent_rate(p.calibration, (from->altitude + s.altitude) / 2, rate);
    p.last_rate_time = s.time;
}

bool is_glitch(const landing_predictor& p, const track_sample& s)
{
    if (p.recent_count == 0) return false;
    const track_sample& last = nth_newest(p, 0);
    const double seconds = s.time - last.time;
    const double moved = move_between(last, s).distance;
    return moved > fastest_drift * seconds || std::fabs(s.altitude - last.altitude) > fastest_climb * seconds;
}

double measured_ascent_rate(const landing_predictor& p, const track_sample& now)
{
    const double since = std::max(now.time - climb_window, p.launch ? p.launch->time : now.time);
    const track_sample* from = newest_at_or_before(p, since);
    if (from == nullptr) from = &nth_newest(p, p.recent_count - 1);
    const double seconds = now.time - from->time;
    if (seconds < rate_leg) return default_ascent_rate;
    return std::max(slowest_ascent, (now.altitude - from->altitude) / seconds);
}

struct flight_step {
    predicted_point at;
    geo_position position;
    double unmeasured_seconds = 0;
    // The same, each second weighted by how far above the highest measured
    // wind it is flown, up to the whole second at 7.5 km above: a wind
    // little above the last one measured is much like it, one far above
    // may be anything.
    double unlike_seconds = 0;
};

// Moves the point by `seconds` of the wind at the middle of its height step.
void drift(flight_step& step, const wind_table& winds, double middle, double seconds, double new_altitude)
{
    const double measured_top = winds.measured ? static_cast<double>(winds.highest_measured + 1) * wind_band_height : 0;
    if (middle >= measured_top) {
        step.unmeasured_seconds += seconds;
        step.unlike_seconds += seconds * std::min(1.0, (middle - measured_top + unlike_from) / unlike_over);
    }
    const wind_vector w = wind_at(winds, middle);
    const double distance = std::hypot(w.east, w.north) * seconds;
    if (distance > 0) step.position = ground_destination(step.position, to_degrees(std::atan2(w.east, w.north)), distance);
    step.at.time += seconds;
    step.at.altitude = new_altitude;
    step.at.latitude = step.position.latitude;
    step.at.longitude = step.position.longitude;
}

bool crosses_path_mark(double from, double to)
{
    return std::floor(from / path_every) != std::floor(to / path_every);
}

// The radius around the predicted landing that held the true landing in
// about nine of ten predictions on simulated flights of varied winds,
// changes of wind, rates, burst heights and tumbling (bench/landing/
// landing_bench.cpp --errors writes the data it was fitted on): the wind
// may have changed since it was measured, by about 2.5 m/s over the time
// left; where it was not measured it may differ from the highest measured
// by about 10 m/s, the more the farther above (unlike_seconds); the time
// left may be wrong by a fraction, which moves the landing along its drift,
// about 15 % once the fall measures its own speed and 65 % while the burst
// height and the parachute are still guesses; and a fix and the ground are
// some tens of metres off.
double predicted_radius(bool falling, const flight_step& end, double seconds_to_landing, double drift_to_landing)
{
    constexpr double fixed_part = 100;  // metres
    const double measured_wind = 2.5 * (seconds_to_landing - end.unmeasured_seconds);
    const double guessed_wind = 10.0 * end.unlike_seconds;
    const double time_part = (falling ? 0.15 : 0.65) * drift_to_landing;
    return std::sqrt(fixed_part * fixed_part + measured_wind * measured_wind + guessed_wind * guessed_wind +
                     time_part * time_part);
}

}  // namespace

landing_predictor make_landing_predictor(const prediction_settings& settings)
{
    landing_predictor p;
    p.settings = settings;
    return p;
}

bool add_track_sample(landing_predictor& p, const track_sample& s)
{
    if (!is_usable(s)) return false;
    if (p.recent_count > 0 && !(s.time > nth_newest(p, 0).time)) return false;
    if (is_glitch(p, s) && ++p.rejected_in_row < jumps_before_following) return false;
    const bool followed_a_jump = p.rejected_in_row >= jumps_before_following;
    p.rejected_in_row = 0;

    const bool first = p.recent_count == 0;
    remember(p, s);
    if (first) {
        p.progress = flight_progress::pad;
        p.pad_altitude = s.altitude;
        p.highest = s;
        return true;
    }
    const track_sample& before = nth_newest(p, 1);
    if (!followed_a_jump && p.progress == flight_progress::ascent) add_leg(p, leg_phase::rising, before, s);
    if (!followed_a_jump && p.progress == flight_progress::descent) add_leg(p, leg_phase::falling, before, s);
    switch (p.progress) {
    case flight_progress::pad:
        watch_the_pad(p, s);
        break;
    case flight_progress::ascent:
        watch_the_climb(p, s);
        break;
    case flight_progress::descent:
        watch_the_fall(p, s);
        break;
    case flight_progress::waiting:
    case flight_progress::landed:
        break;
    }
    return true;
}

std::optional<landing_prediction> predict_landing(const landing_predictor& p)
{
    if (p.progress == flight_progress::waiting || p.progress == flight_progress::pad) return std::nullopt;
    const track_sample& now = nth_newest(p, 0);
    landing_prediction prediction;
    prediction.progress = p.progress;
    prediction.ground_altitude =
        p.settings.ground_altitude ? *p.settings.ground_altitude : (p.launch ? p.pad_altitude : 0.0);
    if (p.burst) prediction.burst = predicted_point{p.burst->time, p.burst->latitude, p.burst->longitude, p.burst->altitude};
    if (p.progress == flight_progress::landed) {
        const track_sample& down = *p.landed;
        prediction.landing = predicted_point{down.time, down.latitude, down.longitude, down.altitude};
        prediction.path.push_back(prediction.landing);
        prediction.radius = predicted_radius(true, flight_step{}, 0, 0);
        return prediction;
    }

    const bool falling = p.progress == flight_progress::descent;
    const wind_table winds = make_wind_table(p.winds, falling ? std::optional<double>(now.altitude) : std::nullopt);
    prediction.descent = fitted_descent_law(p.calibration, now.altitude, p.settings.sea_level_descent_rate);
    flight_step step{predicted_point{now.time, now.latitude, now.longitude, now.altitude},
                     geo_position{now.latitude, now.longitude, now.altitude}};
    prediction.path.push_back(step.at);

    if (!falling) {
        prediction.ascent_rate = measured_ascent_rate(p, now);
        const double top = std::max({p.settings.burst_altitude, p.highest.altitude, now.altitude});
        while (step.at.altitude < top) {
            const double next = std::min(top, (std::floor(step.at.altitude / step_height) + 1) * step_height);
            const double from = step.at.altitude;
            drift(step, winds, (from + next) / 2, (next - from) / prediction.ascent_rate, next);
            if (crosses_path_mark(from, next) && next < top) prediction.path.push_back(step.at);
        }
        prediction.burst = step.at;
        if (prediction.path.back().time != step.at.time) prediction.path.push_back(step.at);
    }

    const double ground = prediction.ground_altitude;
    while (step.at.altitude > ground) {
        const double next = std::max(ground, (std::ceil(step.at.altitude / step_height) - 1) * step_height);
        const double from = step.at.altitude;
        const double middle = (from + next) / 2;
        drift(step, winds, middle, (from - next) / descent_rate_at(prediction.descent, middle), next);
        if (crosses_path_mark(next, from) && next > ground) prediction.path.push_back(step.at);
    }
    prediction.landing = step.at;
    if (prediction.path.back().time != step.at.time) prediction.path.push_back(step.at);
    const double drift_to_landing =
        ground_path(now.latitude, now.longitude, step.at.latitude, step.at.longitude).distance;
    prediction.unmeasured_seconds = step.unmeasured_seconds;
    prediction.radius = predicted_radius(falling, step, step.at.time - now.time, drift_to_landing);
    return prediction;
}
