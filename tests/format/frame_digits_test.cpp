// The table row made from a frame's digits, with a formatting state kept
// from frame to frame, against the row made value by value in a fresh state.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "format/frame_digits.h"
#include "format/mask.h"
#include "format/masks.h"

namespace {

std::string shown(const digit_string& d)
{
    return (d.negative ? "-0." : "0.") + std::string(d.digits, static_cast<std::size_t>(d.count)) + "e" +
           std::to_string(d.exponent);
}

decoded_frame random_frame(std::mt19937& random)
{
    std::uniform_int_distribution<int> int16(-32768, 32767);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<std::uint32_t> any32;
    std::uniform_real_distribution<float> degrees(-200.0f, 200.0f);
    std::uniform_real_distribution<float> climb(-20000.0f, 20000.0f);
    decoded_frame frame;
    frame.counter = int16(random);
    frame.time_text = "12:34:56";
    // Mostly what a tracker sends; now and then any bit pattern at all, so
    // that fields widen, switch to exponent form or show NaN and infinity.
    const bool wild = byte(random) < 16;
    frame.latitude = wild ? std::bit_cast<float>(any32(random)) : degrees(random);
    frame.longitude = wild ? std::bit_cast<float>(any32(random)) : degrees(random);
    frame.altitude = static_cast<std::int16_t>(int16(random));
    frame.speed = static_cast<float>(static_cast<long double>(1.852f) * byte(random));
    frame.satellites = static_cast<std::uint8_t>(byte(random));
    frame.temperature = static_cast<std::int16_t>(byte(random) - 128);
    frame.battery_voltage = static_cast<float>(byte(random)) * 0.0196f;
    frame.climb_rate = wild ? std::bit_cast<float>(any32(random)) : climb(random);
    return frame;
}

TEST(frame_digits, whole_fields_have_the_digits_of_the_general_conversion)
{
    frame_digits digits;
    for (int value = -32768; value <= 32767; ++value) {
        decoded_frame frame;
        frame.counter = value;
        frame.altitude = static_cast<std::int16_t>(value);
        frame.temperature = static_cast<std::int16_t>(value);
        frame.satellites = static_cast<std::uint8_t>(value & 0xFF);
        make_frame_digits(frame, digits);
        const std::string expected = shown(decimal_digits(value, 19));
        ASSERT_EQ(shown(digits.counter), expected);
        ASSERT_EQ(shown(digits.values[2]), expected);
        ASSERT_EQ(shown(digits.values[5]), expected);
        ASSERT_EQ(shown(digits.values[4]), shown(decimal_digits(value & 0xFF, 19)));
    }
    // The counter is held as 32 bits; the widest values too.
    for (const std::int32_t value : {std::numeric_limits<std::int32_t>::min(), -1000000000, 999999999, 1000000000,
                                     std::numeric_limits<std::int32_t>::max()}) {
        decoded_frame frame;
        frame.counter = value;
        make_frame_digits(frame, digits);
        ASSERT_EQ(shown(digits.counter), shown(decimal_digits(value, 19))) << value;
    }
}

TEST(frame_digits, the_row_from_digits_in_a_kept_state_is_the_row_from_values)
{
    std::mt19937 random(1852);
    frame_digits digits;
    mask_state kept;
    for (int i = 0; i < 20000; ++i) {
        const decoded_frame frame = random_frame(random);
        make_frame_digits(frame, digits);
        const byte_view row = format_table_row(frame, digits, kept);
        ASSERT_EQ(row, format_table_row(frame)) << i;
    }
}

}  // namespace
