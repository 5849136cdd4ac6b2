// What the last minute of a flight says about the next: how the payload
// moves, and where it comes down if it keeps falling as it does now.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "flight_model.h"

// The motion over the points of the last `window` seconds up to one point.
struct recent_motion {
    double climb_rate = 0;  // metres per second, negative when falling
    double ground_speed = 0;  // metres per second over the ground
    double azimuth = 0;  // degrees, the direction of that drift
    std::int64_t span = 0;  // seconds between the first and last point used
};

inline constexpr std::int64_t motion_window = 60;  // seconds

// Over points[first..end] where first is the earliest point within
// `motion_window` seconds before points[end], or the one point before it
// when none is (frames far apart). Empty when no earlier point is near
// enough to say anything (within five windows).
std::optional<recent_motion> motion_up_to(const std::vector<flight_point>& points, std::size_t end);

struct landing_estimate {
    double latitude = 0;
    double longitude = 0;
    double seconds = 0;  // from points[end] to the landing
    std::int64_t local_time = 0;  // the moment of landing on the receiver's clock
    double descent_rate = 0;  // metres per second, positive downwards
    double drift_speed = 0;  // metres per second over the ground
    double drift_azimuth = 0;  // degrees
};

// Where the payload reaches `ground_altitude` if it keeps the descent rate
// and the drift of its recent motion: straight-line extrapolation along the
// geodesic. Only while that motion is a fall (at least `least_fall_rate`:
// slower, the payload is down or nearly, and its rate says nothing of
// when); at or below that altitude, the estimate is the present place and
// time. Whether the flight is in its descent is the caller's to know.
std::optional<landing_estimate> estimate_landing(const std::vector<flight_point>& points,
                                                 std::size_t end, double ground_altitude);

inline constexpr double least_fall_rate = 1;  // metres per second
