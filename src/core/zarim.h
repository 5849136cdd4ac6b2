// The receiver core's chief header: one valid frame, decoded, and the state
// that links one frame to the next.
#pragma once

#include <array>
#include <cstdint>

#include "core/types.h"

// The fields of one frame that passed the CRC test.
struct decoded_frame {
    std::int32_t counter = 0;
    byte_string time_text;            // "hh:mm:ss", 8 characters
    std::int32_t seconds_of_day = 0;  // hours * 3600 + minutes * 60 + seconds
    float latitude = 0;               // rounded to 5 places
    float longitude = 0;              // rounded to 5 places
    std::int16_t altitude = 0;
    float speed = 0;  // km/h
    std::uint8_t satellites = 0;
    std::int16_t temperature = 0;
    float battery_voltage = 0;  // rounded to 2 places
    float climb_rate = 0;       // altitude units per second, 2 places
    std::int32_t time_gap = 0;  // seconds since the previous valid frame
};

// One for the run, all zero at start, never reset. A zero previous time or
// altitude stands for "no previous frame".
struct receiver_state {
    std::int32_t previous_seconds = 0;
    std::int16_t previous_altitude = 0;
    float climb_rate = 0;
    std::int32_t crc_error_count = 0;
};

// Entry i of `mask` holds 2^i; the CRC tests the bits of every byte against
// it. `crc_step` is what the bit-by-bit CRC does to a zero working value for
// one whole byte, and `crc_step_then_zero` the same for that byte followed by
// a zero byte. Both are worked out from the masks once when they are filled,
// so that a frame costs two independent look-ups per pair of bytes instead
// of sixteen bit tests.
struct bit_mask_table {
    std::array<std::int32_t, 8> mask{};
    std::array<std::uint16_t, 256> crc_step{};
    std::array<std::uint16_t, 256> crc_step_then_zero{};
};
