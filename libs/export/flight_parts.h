// Logs given together that cannot be one flight: frames that lie days
// apart (the logs of two launches), or two tracks far apart at the same
// time (another payload, or a station whose clock is wrong).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "flight_model.h"

// No flight goes this long without a frame heard; a longer silence ends
// one flight, and what follows is another.
inline constexpr std::int64_t flight_gap_seconds = std::int64_t{12} * 3600;

// Where each flight starts among the points: 0, then every point that
// comes more than flight_gap_seconds after the one before it. Empty when
// there are no points.
std::vector<std::size_t> flight_starts(const flight& f);

// Two points of different logs at nearly the same time that one payload
// cannot both have been at.
struct track_conflict {
    std::size_t first = 0;  // indices into the flight's points
    std::size_t second = 0;
    double distance = 0;  // metres over the ground between them
};

// A conflict between two logs whose frames heard at nearly the same time
// (within a minute) mostly lie too far apart for one payload (more than
// 20 km, and more than 150 m/s could cover); a single wild fix among
// agreeing ones is no conflict.
std::optional<track_conflict> tracks_apart(const flight& f);
