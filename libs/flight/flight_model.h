// One flight from one or more daily logs: the usable points in time order,
// their phases, launch, burst and last fix, and the figures a chase team
// asks for first.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "geodesy.h"
#include "log_reading.h"

// Ascent up to and including the burst, descent after it down to the
// landing, and on the ground from the landing on.
enum class flight_stage { ascent, descent, landed };

struct flight_point {
    log_record frame;
    std::int64_t local_time = 0;  // the receiver's clock, local_seconds of log_reading.h
    std::int64_t utc_time = 0;  // seconds since 1970-01-01 00:00 UTC
    // Metres per second over the points within 15 s either side: the
    // frames' own climb rate restarts at 0 with every receiver run and
    // differs between stations, so the flight derives its own.
    double climb_rate = 0;
    std::size_t source = 0;  // index of the log it was read from
    std::uint64_t line = 0;  // its line in that log
};

struct flight_counts {
    std::size_t frames_read = 0;  // records in all logs together
    std::size_t duplicates = 0;  // the same frame (counter and time) read again
    std::size_t impossible = 0;  // left out: 0,0, beyond ±90/±180, not finite
    std::size_t missing = 0;  // frames the counter skipped between distinct frames
    std::size_t unreadable_lines = 0;  // lines no frame could be read from
    std::size_t unfinished_lines = 0;  // fragments left by a crash or a restart
    std::size_t unreadable_logs = 0;  // files that could not be read at all
};

struct flight {
    std::vector<flight_point> points;  // usable positions, in time order
    flight_counts counts;
    int utc_offset = 0;  // minutes east of UTC of the receiver's clock
    // Indices into points; meaningful only when points is not empty.
    std::size_t launch = 0;  // the first fix
    std::size_t burst = 0;  // the highest point (its first occurrence)
    // The end of the descent: the first point after the burst within 30 m
    // of the lowest altitude after it (GPS heights wander on the ground).
    // While the payload still falls this is the last fix; equal to the
    // burst when no point follows the burst.
    std::size_t landing = 0;
    std::size_t last = 0;  // the last fix
};

// Whether a logged position can be a real fix: finite, latitude within ±90,
// longitude within ±180, and not exactly 0,0 (what a tracker without a fix
// sends).
bool is_possible_position(double latitude, double longitude);

// Promises: points from every log merged in time order (a stable order for
// equal times: the logs' order, then their lines'); a frame with the same
// counter and the same time as one before it is counted once; impossible
// positions are counted and left out; missing frames are counted by the
// steps of the signed 16-bit counter between distinct frames in time order
// (32767 to -32768 is one step; a step back is a tracker restart and counts
// nothing). `utc_offset` in minutes, or, when absent, this machine's offset
// at the first frame's time (at noon of the first log's day when there is
// no frame).
flight build_flight(const std::vector<log_reading>& logs, std::optional<int> utc_offset);

flight_stage stage_at(const flight& f, std::size_t index);

struct flight_summary {
    bool has_points = false;  // the rest is meaningful only when true
    std::int64_t duration = 0;  // seconds from launch to landing
    // Metres per second: launch to burst, and burst to landing counted
    // positive downwards; absent when that phase has no time to it.
    std::optional<double> mean_ascent_rate;
    std::optional<double> mean_descent_rate;
    double greatest_speed = 0;  // km/h, the largest speed a frame reported
    std::size_t greatest_speed_at = 0;  // index of that point
    double track_length = 0;  // metres over the ground along every point
    ground_leg launch_to_last;  // straight over the ground, launch to last fix
};

flight_summary summarize(const flight& f);
