// A receiver log line turned back into the frame that produced it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "frame_encoding.h"

// Reads one line of the daily log (its line end already removed). Every
// field must be there and in range; the climb rate is checked but not used,
// since the receiver derives it again from consecutive frames. On failure
// `problem` says what is wrong and `fields` is left in an unspecified state.
bool parse_log_line(std::string_view line, telemetry_fields& fields, std::string& problem);

// The log's own clock, for replaying a log at its pace: each line's time of
// day as seconds after the first line's. A time more than an hour earlier
// than the line before is on the next day, as zarim-export reads a log; a
// smaller step back is a frame that arrived late, and stays that early.
struct log_clock {
    bool started = false;
    std::int32_t first = 0;  // second of the day of the first line
    std::int32_t previous = 0;
    std::int64_t days = 0;  // midnights passed since the first line
    std::int64_t seconds = 0;  // of the latest line, after the first line
};

void advance_log_clock(log_clock& clock, const telemetry_fields& fields);
