#include "landing_estimate.h"

#include <algorithm>
#include <cmath>

#include "geodesy.h"
#include "ground_destination.h"

namespace {

// Frames further apart than this say nothing about the present motion.
constexpr std::int64_t stale_span = 5 * motion_window;

}  // namespace

std::optional<recent_motion> motion_up_to(const std::vector<flight_point>& points, std::size_t end)
{
    if (end == 0 || end >= points.size()) return std::nullopt;
    const std::int64_t now = points[end].local_time;
    std::size_t first = end;
    while (first > 0 && points[first - 1].local_time >= now - motion_window) --first;
    if (first == end) first = end - 1;
    const std::int64_t span = now - points[first].local_time;
    if (span <= 0 || span > stale_span) return std::nullopt;

    const flight_point& a = points[first];
    const flight_point& b = points[end];
    const ground_leg leg =
        ground_path(a.frame.latitude, a.frame.longitude, b.frame.latitude, b.frame.longitude);
    recent_motion motion;
    motion.span = span;
    motion.climb_rate =
        static_cast<double>(b.frame.altitude - a.frame.altitude) / static_cast<double>(span);
    motion.ground_speed = leg.distance / static_cast<double>(span);
    motion.azimuth = leg.azimuth;
    return motion;
}

std::optional<landing_estimate> estimate_landing(const std::vector<flight_point>& points,
                                                 std::size_t end, double ground_altitude)
{
    const std::optional<recent_motion> motion = motion_up_to(points, end);
    if (!motion || motion->climb_rate > -least_fall_rate) return std::nullopt;
    const flight_point& now = points[end];
    // Still falling at or below the launch height (the ground there may lie
    // lower): it lands about here and now.
    const double height = std::max(0.0, now.frame.altitude - ground_altitude);

    landing_estimate estimate;
    estimate.descent_rate = -motion->climb_rate;
    estimate.seconds = height / estimate.descent_rate;
    estimate.drift_speed = motion->ground_speed;
    estimate.drift_azimuth = motion->azimuth;
    estimate.local_time = now.local_time + std::llround(estimate.seconds);
    const geo_position landing = ground_destination(
        geo_position{now.frame.latitude, now.frame.longitude, ground_altitude}, motion->azimuth,
        motion->ground_speed * estimate.seconds);
    estimate.latitude = landing.latitude;
    estimate.longitude = landing.longitude;
    return estimate;
}
