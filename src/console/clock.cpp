#include "console/clock.h"

#include <ctime>

namespace {

// The broken-down local time at `now`; an all-zero date if the clock cannot
// be read, so the texts keep their fixed shape whatever happens.
std::tm local_time_at(std::time_t now)
{
    std::tm parts{};
    if (now == static_cast<std::time_t>(-1) || localtime_r(&now, &parts) == nullptr) {
        parts = std::tm{};
    }
    return parts;
}

std::tm local_now()
{
    return local_time_at(std::time(nullptr));
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

byte_string time_text_of(const std::tm& t)
{
    byte_string text;
    append_digits(text, clamp(t.tm_hour, 0, 23), 2);
    text.push_back(':');
    append_digits(text, clamp(t.tm_min, 0, 59), 2);
    text.push_back(':');
    append_digits(text, clamp(t.tm_sec, 0, 60), 2);
    return text;
}

}  // namespace

byte_string local_time_text()
{
    return time_text_of(local_now());
}

byte_view local_time_text(local_time_cache& cache)
{
    const std::time_t now = std::time(nullptr);
    // A clock that cannot be read is asked again next time.
    if (now != cache.second || now == static_cast<std::time_t>(-1)) {
        const byte_string text = time_text_of(local_time_at(now));
        text.copy(cache.text, sizeof cache.text);
        cache.second = now;
    }
    return {cache.text, sizeof cache.text};
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
