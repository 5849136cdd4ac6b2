#include "console/clock.h"

#include <ctime>

namespace {

// The broken-down local time; an all-zero date if the clock cannot be read,
// so the texts keep their fixed shape whatever happens.
std::tm local_now()
{
    std::tm parts{};
    const std::time_t now = std::time(nullptr);
    if (now == static_cast<std::time_t>(-1) || localtime_r(&now, &parts) == nullptr) {
        parts = std::tm{};
    }
    return parts;
}

void append_digits(byte_string& out, int value, int width)
{
    char buffer[8];
    for (int i = width - 1; i >= 0; --i) {
        buffer[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    out.append(buffer, static_cast<std::size_t>(width));
}

int clamp(int value, int low, int high)
{
    return value < low ? low : (value > high ? high : value);
}

}  // namespace

byte_string local_time_text()
{
    const std::tm t = local_now();
    byte_string text;
    append_digits(text, clamp(t.tm_hour, 0, 23), 2);
    text.push_back(':');
    append_digits(text, clamp(t.tm_min, 0, 59), 2);
    text.push_back(':');
    append_digits(text, clamp(t.tm_sec, 0, 60), 2);
    return text;
}

byte_string local_date_text()
{
    const std::tm t = local_now();
    byte_string text;
    append_digits(text, clamp(t.tm_mon + 1, 0, 12), 2);
    text.push_back('-');
    append_digits(text, clamp(t.tm_mday, 0, 31), 2);
    text.push_back('-');
    append_digits(text, clamp(t.tm_year + 1900, 0, 9999), 4);
    return text;
}
