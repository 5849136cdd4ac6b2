#include "format/frame_digits.h"

#include <cstdint>

namespace {

// decimal_digits(value, 19) of a whole number of magnitude below 10^9,
// without the floating-point scaling: its scaled value is the number itself
// times an exact power of ten, so the digits are the number's own followed
// by zeros. Most of a frame's numbers are whole (counter, altitude,
// satellites, temperature).
digit_string whole_number_digits(std::int32_t value)
{
    if (value == 0) return decimal_digits(0, full_digit_count);
    digit_string d;
    d.count = full_digit_count;
    d.negative = value < 0;
    std::uint32_t magnitude = value < 0 ? 0u - static_cast<std::uint32_t>(value) : static_cast<std::uint32_t>(value);
    char reversed[10];
    int length = 0;
    while (magnitude != 0) {
        reversed[length++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    }
    for (int i = 0; i < length; ++i) d.digits[i] = reversed[length - 1 - i];
    for (int i = length; i < full_digit_count; ++i) d.digits[i] = '0';
    d.exponent = length;
    return d;
}

}  // namespace

void make_frame_digits(const decoded_frame& frame, frame_digits& digits)
{
    digits.counter = whole_number_digits(frame.counter);
    digits.values[0] = decimal_digits(frame.latitude, full_digit_count);
    digits.values[1] = decimal_digits(frame.longitude, full_digit_count);
    digits.values[2] = whole_number_digits(frame.altitude);
    digits.values[3] = decimal_digits(frame.speed, full_digit_count);
    digits.values[4] = whole_number_digits(frame.satellites);
    digits.values[5] = whole_number_digits(frame.temperature);
    digits.values[6] = decimal_digits(frame.battery_voltage, full_digit_count);
    digits.values[7] = decimal_digits(frame.climb_rate, full_digit_count);
}
