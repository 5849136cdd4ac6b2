#include "flight_time.h"

#include <ctime>

#include "log_reading.h"

namespace {

constexpr int largest_offset_hours = 18;

bool two_digits(std::string_view text, int& value)
{
    if (text.size() != 2 || text[0] < '0' || text[0] > '9' || text[1] < '0' || text[1] > '9')
        return false;
    value = (text[0] - '0') * 10 + (text[1] - '0');
    return true;
}

void append_padded(std::string& text, std::int64_t value, int width)
{
    std::string digits = std::to_string(value);
    if (digits.size() < static_cast<std::size_t>(width))
        digits.insert(0, static_cast<std::size_t>(width) - digits.size(), '0');
    text += digits;
}

std::int64_t floor_div(std::int64_t a, std::int64_t b)
{
    const std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

void put_digits(char* at, std::int64_t value, int width)
{
    for (int i = width - 1; i >= 0; --i) {
        at[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
}

// "yyyy-mm-ddThh:mm:ss" of seconds since 1970-01-01 00:00 on some clock,
// written in place: every point of every document has one or two.
std::string date_and_time(std::int64_t seconds)
{
    const std::int64_t days = floor_div(seconds, 86400);
    const std::int64_t of_day = seconds - days * 86400;
    const civil_date date = civil_from_days(days);
    std::string text = "0000-00-00T00:00:00";
    if (date.year < 0 || date.year > 9999) {
        std::string year;
        append_padded(year, date.year, 4);
        text.replace(0, 4, year);
    } else {
        put_digits(text.data(), date.year, 4);
    }
    const std::size_t month = text.size() - 14;
    put_digits(text.data() + month, date.month, 2);
    put_digits(text.data() + month + 3, date.day, 2);
    put_digits(text.data() + month + 6, of_day / 3600, 2);
    put_digits(text.data() + month + 9, of_day / 60 % 60, 2);
    put_digits(text.data() + month + 12, of_day % 60, 2);
    return text;
}

}  // namespace

std::optional<int> parse_utc_offset(std::string_view text)
{
    if (text == "Z" || text == "z") return 0;
    if (text.size() < 3 || (text[0] != '+' && text[0] != '-')) return std::nullopt;
    const int sign = text[0] == '-' ? -1 : 1;
    int hours = 0;
    int minutes = 0;
    if (!two_digits(text.substr(1, 2), hours)) return std::nullopt;
    std::string_view rest = text.substr(3);
    if (!rest.empty() && rest.front() == ':') {
        rest.remove_prefix(1);
        if (rest.empty()) return std::nullopt;
    }
    if (!rest.empty() && !two_digits(rest, minutes)) return std::nullopt;
    if (hours > largest_offset_hours || minutes > 59) return std::nullopt;
    if (hours == largest_offset_hours && minutes != 0) return std::nullopt;
    return sign * (hours * 60 + minutes);
}

int machine_utc_offset(std::int64_t local_time)
{
    const std::int64_t days = floor_div(local_time, 86400);
    const std::int64_t of_day = local_time - days * 86400;
    const civil_date date = civil_from_days(days);
    std::tm clock{};
    clock.tm_year = date.year - 1900;
    clock.tm_mon = date.month - 1;
    clock.tm_mday = date.day;
    clock.tm_hour = static_cast<int>(of_day / 3600);
    clock.tm_min = static_cast<int>(of_day / 60 % 60);
    clock.tm_sec = static_cast<int>(of_day % 60);
    clock.tm_isdst = -1;  // let the zone say whether summer time applies
    const std::time_t utc = std::mktime(&clock);
    if (utc == static_cast<std::time_t>(-1)) return 0;
    // mktime may have moved a time that falls into a spring-forward gap;
    // what it filled in is the wall clock that belongs to `utc`.
    const std::int64_t wall = local_seconds(civil_date{clock.tm_year + 1900, clock.tm_mon + 1,
                                                       clock.tm_mday},
                                            clock.tm_hour * 3600 + clock.tm_min * 60 + clock.tm_sec);
    return static_cast<int>(floor_div(wall - static_cast<std::int64_t>(utc), 60));
}

std::string iso8601_utc(std::int64_t utc_time)
{
    return date_and_time(utc_time) + 'Z';
}

std::string iso8601_local(std::int64_t local_time, int offset_minutes)
{
    return date_and_time(local_time) + utc_offset_text(offset_minutes);
}

std::string utc_offset_text(int offset_minutes)
{
    std::string text(1, offset_minutes < 0 ? '-' : '+');
    const int magnitude = offset_minutes < 0 ? -offset_minutes : offset_minutes;
    append_padded(text, magnitude / 60, 2);
    text += ':';
    append_padded(text, magnitude % 60, 2);
    return text;
}

std::string duration_text(std::int64_t seconds)
{
    std::string text;
    if (seconds < 0) {
        text += '-';
        seconds = -seconds;
    }
    if (seconds >= 3600) {
        text += std::to_string(seconds / 3600) + " h ";
        append_padded(text, seconds / 60 % 60, 2);
        text += " min ";
        append_padded(text, seconds % 60, 2);
    } else if (seconds >= 60) {
        text += std::to_string(seconds / 60) + " min ";
        append_padded(text, seconds % 60, 2);
    } else {
        text += std::to_string(seconds);
    }
    return text + " s";
}
