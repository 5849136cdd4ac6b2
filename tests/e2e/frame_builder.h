// Frames as a tracker would send them, from chosen field values.
#pragma once

#include <cstdint>

#include "core/types.h"

struct tracker_fields {
    std::int16_t counter = 1;
    std::uint8_t hours = 12, minutes = 0, seconds = 0;
    float latitude = -23.5505f;
    float longitude = -46.6333f;
    std::int16_t altitude = 760;
    std::uint8_t speed_knots = 10;
    std::uint8_t satellites = 9;
    std::int8_t temperature = 20;
    std::uint8_t battery = 200;  // volts / 0.0196
};

// Upper-case hex text of the 20 data bytes and their CRC, low byte first.
byte_string frame_text(const tracker_fields& fields);

// Numbered frames, for tests that count what arrived. Number n carries the
// counter n mod 65536 (as the signed 16-bit field holds it) and the time
// 12:mm:00 with mm = n / 65536, so numbers below 60 * 65536 stay apart while
// every other field, and so the rest of the log line, stays the same.
byte_string numbered_frame(int number);
// Its log line, without the CR LF.
byte_string numbered_log_line(int number);
// The number a log line (without CR LF) or a table row on screen stands
// for; -1 when it is not exactly the line or row of a numbered frame.
int number_of_log_line(byte_view line);
int number_of_table_row(byte_view row);
