#include "log_replay.h"

#include <array>
#include <charconv>
#include <cmath>

namespace {

constexpr std::size_t log_field_count = 10;
constexpr std::int32_t seconds_per_day = 86400;
constexpr std::int32_t midnight_step_back = 3600;

// The receiver's own constants, in its single precision: the byte is the
// one whose product prints as the logged value.
constexpr long double kmh_per_knot = 1.852f;
constexpr long double volts_per_unit = 0.0196f;

// Numbers stand between a sign position and a trailing blank; a hand-edited
// line may have more blanks or fewer, so any run of blanks is dropped.
std::string_view trim_blanks(std::string_view text)
{
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
}

// A decimal number, optionally in exponent form, with nothing around it.
// std::from_chars reads it without regard to the locale and rounds it once,
// to the nearest value of T.
template <typename T>
bool read_number(std::string_view field, T& value)
{
    const std::string_view text = trim_blanks(field);
    if (text.empty()) return false;
    const auto [end, error] =
        std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::general);
    return error == std::errc() && end == text.data() + text.size() && std::isfinite(value);
}

bool read_integer(std::string_view field, long low, long high, long& value)
{
    double number = 0;
    if (!read_number(field, number) || number != std::trunc(number)) return false;
    if (number < static_cast<double>(low) || number > static_cast<double>(high)) return false;
    value = static_cast<long>(number);
    return true;
}

// The byte whose product with `unit` lies nearest the logged value.
bool read_scaled_byte(std::string_view field, long double unit, std::uint8_t& byte)
{
    double number = 0;
    if (!read_number(field, number)) return false;
    const long double units = std::nearbyint(static_cast<long double>(number) / unit);
    if (!(units >= 0 && units <= 255)) return false;
    byte = static_cast<std::uint8_t>(units);
    return true;
}

bool read_two_digits(std::string_view text, std::uint8_t& value)
{
    if (text.size() != 2) return false;
    const char high = text[0];
    const char low = text[1];
    if (high < '0' || high > '9' || low < '0' || low > '9') return false;
    value = static_cast<std::uint8_t>((high - '0') * 10 + (low - '0'));
    return true;
}

bool read_time(std::string_view text, telemetry_fields& fields)
{
    return text.size() == 8 && text[2] == ':' && text[5] == ':' &&
           read_two_digits(text.substr(0, 2), fields.hours) &&
           read_two_digits(text.substr(3, 2), fields.minutes) &&
           read_two_digits(text.substr(6, 2), fields.seconds);
}

bool fail(std::string& problem, const char* text)
{
    problem = text;
    return false;
}

}  // namespace

bool parse_log_line(std::string_view line, telemetry_fields& fields, std::string& problem)
{
    std::array<std::string_view, log_field_count> field;
    std::size_t count = 0;
    for (;;) {
        const std::size_t comma = line.find(',');
        if (count == log_field_count) return fail(problem, "more than 10 comma-separated fields");
        field[count++] = line.substr(0, comma);
        if (comma == std::string_view::npos) break;
        line.remove_prefix(comma + 1);
    }
    if (count != log_field_count) return fail(problem, "fewer than 10 comma-separated fields");

    fields = telemetry_fields{};
    long integer = 0;
    if (!read_integer(field[0], -32768, 32767, integer))
        return fail(problem, "counter is not an integer from -32768 to 32767");
    fields.counter = static_cast<std::int16_t>(integer);
    if (!read_time(field[1], fields)) return fail(problem, "time is not hh:mm:ss");
    if (!read_number(field[2], fields.latitude)) return fail(problem, "latitude is not a number");
    if (!read_number(field[3], fields.longitude)) return fail(problem, "longitude is not a number");
    if (!read_integer(field[4], -32768, 32767, integer))
        return fail(problem, "altitude is not an integer from -32768 to 32767");
    fields.altitude = static_cast<std::int16_t>(integer);
    if (!read_scaled_byte(field[5], kmh_per_knot, fields.speed))
        return fail(problem, "speed is not a number from 0 to 472.26");
    if (!read_integer(field[6], 0, 255, integer))
        return fail(problem, "satellites is not an integer from 0 to 255");
    fields.satellites = static_cast<std::uint8_t>(integer);
    if (!read_integer(field[7], -128, 127, integer))
        return fail(problem, "temperature is not an integer from -128 to 127");
    fields.temperature = static_cast<std::int8_t>(integer);
    if (!read_scaled_byte(field[8], volts_per_unit, fields.battery))
        return fail(problem, "battery voltage is not a number from 0 to 5");
    double climb = 0;
    if (!read_number(field[9], climb)) return fail(problem, "climb rate is not a number");
    return true;
}

void advance_log_clock(log_clock& clock, const telemetry_fields& fields)
{
    const std::int32_t of_day = fields.hours * 3600 + fields.minutes * 60 + fields.seconds;
    if (!clock.started) {
        clock.started = true;
        clock.first = of_day;
    } else if (of_day < clock.previous - midnight_step_back) {
        ++clock.days;
    }
    clock.previous = of_day;
    clock.seconds = clock.days * seconds_per_day + of_day - clock.first;
}
