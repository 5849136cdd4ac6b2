#include "e2e/frame_builder.h"

#include <cstdlib>
#include <cstring>
#include <string>

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

namespace {

tracker_fields numbered_fields(int number)
{
    tracker_fields fields;
    fields.counter = static_cast<std::int16_t>(static_cast<std::uint16_t>(number & 0xFFFF));
    fields.minutes = static_cast<std::uint8_t>(number >> 16);
    return fields;
}

// "12:mm:00" as the frame's time text reads.
byte_string numbered_time(int number)
{
    const int minutes = number >> 16;
    byte_string text = "12:";
    text.push_back(static_cast<char>('0' + minutes / 10));
    text.push_back(static_cast<char>('0' + minutes % 10));
    return text + ":00";
}

// The table row's first 17 cells: the counter right-aligned in seven, two
// blanks, the time.
byte_string numbered_row_start(int number)
{
    const byte_string counter = std::to_string(numbered_fields(number).counter);
    return byte_string(7 - counter.size(), ' ') + counter + "  " + numbered_time(number);
}

// The number whose counter and minutes these are, or -1.
int number_from(long counter, byte_view time)
{
    if (counter < -32768 || counter > 32767 || time.size() != 8) return -1;
    const int minutes = (time[3] - '0') * 10 + (time[4] - '0');
    if (minutes < 0 || minutes >= 60) return -1;
    return minutes * 65536 + static_cast<int>(static_cast<std::uint16_t>(counter));
}

long counter_in(byte_view text)
{
    const byte_string digits(text);
    char* end = nullptr;
    const long value = std::strtol(digits.c_str(), &end, 10);
    return end == digits.c_str() ? 1000000 : value;
}

}  // namespace

byte_string numbered_frame(int number)
{
    return frame_text(numbered_fields(number));
}

byte_string numbered_log_line(int number)
{
    const int counter = numbered_fields(number).counter;
    return (counter < 0 ? "" : " ") + std::to_string(counter) + " ," + numbered_time(number) +
           ",-23.5505 ,-46.6333 , 760 , 18.52 , 9 , 20 , 3.92 , 0 ";
}

int number_of_log_line(byte_view line)
{
    const std::size_t comma = line.find(',');
    if (comma == byte_view::npos || line.size() < comma + 9) return -1;
    const int number = number_from(counter_in(line.substr(0, comma)), line.substr(comma + 1, 8));
    return number >= 0 && line == numbered_log_line(number) ? number : -1;
}

int number_of_table_row(byte_view row)
{
    if (row.size() < 17) return -1;
    const int number = number_from(counter_in(row.substr(0, 7)), row.substr(9, 8));
    return number >= 0 && row.starts_with(numbered_row_start(number)) ? number : -1;
}
