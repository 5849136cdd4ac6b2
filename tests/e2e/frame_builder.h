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
