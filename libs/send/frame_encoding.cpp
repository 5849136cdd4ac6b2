#include "frame_encoding.h"

#include <bit>

namespace {

void put_byte(std::string& out, unsigned value)
{
    out.push_back(static_cast<char>(value & 0xFFu));
}

// Little-endian whatever the host's byte order: the receiver reads the
// wire order, not ours.
void put_16(std::string& out, std::uint16_t value)
{
    put_byte(out, value);
    put_byte(out, value >> 8);
}

void put_32(std::string& out, std::uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8) put_byte(out, value >> shift);
}

}  // namespace

std::uint16_t crc16_ccitt_false(std::string_view bytes)
{
    std::uint16_t crc = 0xFFFF;
    for (const char c : bytes) {
        crc = static_cast<std::uint16_t>(crc ^ (static_cast<unsigned char>(c) << 8));
        for (int bit = 0; bit < 8; ++bit) {
            const bool top = (crc & 0x8000u) != 0;
            crc = static_cast<std::uint16_t>(crc << 1);
            if (top) crc = static_cast<std::uint16_t>(crc ^ 0x1021u);
        }
    }
    return crc;
}

std::string encode_frame(const telemetry_fields& fields)
{
    std::string out;
    out.reserve(frame_length);
    put_byte(out, fields.identifier);
    put_16(out, static_cast<std::uint16_t>(fields.counter));
    put_byte(out, fields.hours);
    put_byte(out, fields.minutes);
    put_byte(out, fields.seconds);
    put_32(out, std::bit_cast<std::uint32_t>(fields.latitude));
    put_32(out, std::bit_cast<std::uint32_t>(fields.longitude));
    put_16(out, static_cast<std::uint16_t>(fields.altitude));
    put_byte(out, fields.speed);
    put_byte(out, fields.satellites);
    put_byte(out, static_cast<std::uint8_t>(fields.temperature));
    put_byte(out, fields.battery);
    put_16(out, crc16_ccitt_false(out));
    return out;
}

std::string frame_hex_text(std::string_view bytes)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        text.push_back(digits[b >> 4]);
        text.push_back(digits[b & 0x0F]);
    }
    return text;
}
