#include "e2e/frame_builder.h"

#include <cstring>

#include "core/frame.h"

namespace {
void put_le(byte_string& bytes, const void* value, std::size_t size)
{
    const auto* p = static_cast<const unsigned char*>(value);
    for (std::size_t i = 0; i < size; ++i) bytes.push_back(static_cast<char>(p[i]));
}
}  // namespace

byte_string frame_text(const tracker_fields& f)
{
    byte_string bytes;
    bytes.push_back('\x01');
    put_le(bytes, &f.counter, 2);
    bytes.push_back(static_cast<char>(f.hours));
    bytes.push_back(static_cast<char>(f.minutes));
    bytes.push_back(static_cast<char>(f.seconds));
    put_le(bytes, &f.latitude, 4);
    put_le(bytes, &f.longitude, 4);
    put_le(bytes, &f.altitude, 2);
    bytes.push_back(static_cast<char>(f.speed_knots));
    bytes.push_back(static_cast<char>(f.satellites));
    bytes.push_back(static_cast<char>(f.temperature));
    bytes.push_back(static_cast<char>(f.battery));
    bit_mask_table masks{};
    fill_bit_mask_table(masks);
    const std::uint16_t crc = frame_crc16(masks, bytes);
    bytes.push_back(static_cast<char>(crc & 0xFF));
    bytes.push_back(static_cast<char>(crc >> 8));
    static constexpr char hex[] = "0123456789ABCDEF";
    byte_string text;
    for (unsigned char b : bytes) {
        text.push_back(hex[b >> 4]);
        text.push_back(hex[b & 15]);
    }
    return text;
}
