// The tracker's side of a frame: the field values, their 22 bytes and the
// hexadecimal text that travels in one datagram.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// One frame's fields in their wire widths. The receiver turns speed back
// into km/h (times 1.852) and battery into volts (times 0.0196).
struct telemetry_fields {
    std::uint8_t identifier = 0x01;  // the receiver ignores it
    std::int16_t counter = 0;
    std::uint8_t hours = 0;
    std::uint8_t minutes = 0;
    std::uint8_t seconds = 0;
    float latitude = 0;
    float longitude = 0;
    std::int16_t altitude = 0;
    std::uint8_t speed = 0;  // knots
    std::uint8_t satellites = 0;
    std::int8_t temperature = 0;
    std::uint8_t battery = 0;  // volts / 0.0196
};

inline constexpr std::size_t frame_data_length = 20;
inline constexpr std::size_t frame_length = 22;

// CRC-16/CCITT-FALSE: polynomial 0x1021, start 0xFFFF, no reflection, no
// final XOR.
std::uint16_t crc16_ccitt_false(std::string_view bytes);

// The 20 data bytes followed by their CRC, least significant byte first.
std::string encode_frame(const telemetry_fields& fields);

// Two upper-case hexadecimal digits per byte.
std::string frame_hex_text(std::string_view bytes);
