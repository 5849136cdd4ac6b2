// A frame's digits are generated once, at 19 digits, and the log's 7- and
// 15-digit strings are rounded from them. That is only right if every
// shorter string decimal_digits makes is a rounding of the longer string's
// digits; these tests check it value by value, over the values the receiver
// meets and far beyond them.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "format/number_text.h"

namespace {

std::string shown(const digit_string& d)
{
    return (d.negative ? "-0." : "0.") + std::string(d.digits, static_cast<std::size_t>(d.count)) + "e" +
           std::to_string(d.exponent) + (d.infinite ? " (infinite)" : "");
}

std::string bits_of(long double value)
{
    unsigned char bytes[10];
    std::memcpy(bytes, &value, sizeof bytes);
    static constexpr char hex[] = "0123456789abcdef";
    std::string text;
    for (int i = 9; i >= 0; --i) {
        text.push_back(hex[bytes[i] >> 4]);
        text.push_back(hex[bytes[i] & 15]);
    }
    return text;
}

long double extended_from_bits(std::uint64_t significand, std::uint16_t sign_and_exponent)
{
    unsigned char bytes[sizeof(long double)] = {};
    std::memcpy(bytes, &significand, 8);
    std::memcpy(bytes + 8, &sign_and_exponent, 2);
    long double value = 0;
    std::memcpy(&value, bytes, sizeof bytes);
    return value;
}

// Every length from 1 to 18 made from the 19 digits, against the string
// made directly; and the two print forms the screen and the log use.
void expect_shorter_strings_agree(long double value)
{
    const digit_string full = decimal_digits(value, full_digit_count);
    for (int n = 1; n <= full_digit_count; ++n) {
        const digit_string direct = decimal_digits(value, n);
        const digit_string derived = shorter_digits(full, n);
        ASSERT_EQ(shown(derived), shown(direct)) << "N " << n << " bits " << bits_of(value);
    }
    for (const int precision : {7, 15}) {
        char text[print_form_limit];
        const std::size_t length = lay_out_print_form(shorter_digits(full, precision), std::span(text));
        ASSERT_EQ(std::string(text, length), print_form(value, precision)) << bits_of(value);
    }
}

TEST(shorter_digits, halves_ties_and_carries_round_as_the_direct_strings_do)
{
    // Digit 8 exactly 5 with nothing after it, with something after it, and
    // runs of nines that carry into a new leading digit.
    const long double cases[] = {
        1234567.5L,  1234568.5L,  0.5L,        2.5L,       -2.5L,       12345678.5L,
        9.9999995L,  9999999.5L,  99999995.0L, 0.99999995L, 999999.95L, 99999.995L,
        9.99999949L, 9.99999951L, 1.0000025L,  1.0000035L,  0.00012345L, 999999999999999.5L,
        1e15L,       1e16L,       1e17L,       1e18L,       1e19L,       123456789012345678.0L,
    };
    for (const long double value : cases) {
        expect_shorter_strings_agree(value);
        expect_shorter_strings_agree(-value);
        expect_shorter_strings_agree(static_cast<float>(value));
        expect_shorter_strings_agree(static_cast<double>(value));
    }
    // The carry itself: the eighth digit of 9.9999995 is a 5 after an odd
    // seventh, which rounds the seven nines up to a new decade.
    const digit_string carried = shorter_digits(decimal_digits(9.9999995L, full_digit_count), 7);
    EXPECT_EQ(shown(carried), "0.1000000e2");
}

TEST(shorter_digits, zero_not_a_number_and_infinities_are_not_rounded)
{
    const long double cases[] = {
        0.0L,
        -0.0L,
        std::numeric_limits<long double>::quiet_NaN(),
        -std::numeric_limits<long double>::quiet_NaN(),
        std::numeric_limits<long double>::infinity(),
        -std::numeric_limits<long double>::infinity(),
        std::numeric_limits<float>::infinity(),
    };
    for (const long double value : cases) expect_shorter_strings_agree(value);
    EXPECT_EQ(shown(shorter_digits(decimal_digits(-std::numeric_limits<float>::infinity(), 19), 7)),
              "-0.9999999e999 (infinite)");
}

TEST(shorter_digits, agree_on_every_value_a_frame_field_can_carry)
{
    // Whole fields: counter, altitude and temperature are 16-bit, satellites
    // a byte; all of them.
    for (int value = -32768; value <= 32767; ++value) expect_shorter_strings_agree(value);
    // Speed and battery voltage come from a byte each.
    for (int raw = 0; raw <= 255; ++raw) {
        expect_shorter_strings_agree(static_cast<float>(static_cast<long double>(1.852f) * raw));
        expect_shorter_strings_agree(static_cast<float>(round_to_places(static_cast<long double>(0.0196f) * raw, 2)));
    }
    // Coordinates and climb rates, rounded to their places and stored as
    // singles, over their whole range.
    std::mt19937 random(20261208);
    std::uniform_real_distribution<double> degrees(-180.0, 180.0);
    std::uniform_real_distribution<double> climb(-32767.0, 32767.0);
    for (int i = 0; i < 20000; ++i) {
        expect_shorter_strings_agree(static_cast<float>(round_to_places(degrees(random), 5)));
        expect_shorter_strings_agree(static_cast<float>(round_to_places(climb(random) / 6, 2)));
    }
}

TEST(shorter_digits, agree_on_random_and_boundary_bit_patterns)
{
    std::vector<long double> values;
    // Every exponent of a single with the smallest, largest, middle and a
    // few random fractions, both signs: zeros, subnormals, normals, and the
    // infinities and NaNs at the top.
    std::mt19937 random(7);
    std::uniform_int_distribution<std::uint32_t> fraction(0, 0x7FFFFF);
    for (std::uint32_t exponent = 0; exponent <= 255; ++exponent) {
        for (const std::uint32_t f : {0u, 1u, 0x400000u, 0x7FFFFEu, 0x7FFFFFu, fraction(random), fraction(random)}) {
            for (const std::uint32_t sign : {0u, 1u}) {
                values.push_back(std::bit_cast<float>(sign << 31 | exponent << 23 | f));
            }
        }
    }
    // Singles at random, all 32 bits.
    std::uniform_int_distribution<std::uint32_t> any32;
    for (int i = 0; i < 100000; ++i) values.push_back(std::bit_cast<float>(any32(random)));
    // Extended values at random over the exponents the receiver could ever
    // form, and over every other one; the encodings the arithmetic never
    // makes (no integer bit) among them.
    std::uniform_int_distribution<std::uint64_t> any64;
    std::uniform_int_distribution<int> near_exponent(16383 - 200, 16383 + 200);
    std::uniform_int_distribution<int> any_exponent(0, 0xFFFF);
    for (int i = 0; i < 30000; ++i) {
        const std::uint64_t significand = any64(random) | (i % 50 == 0 ? 0 : std::uint64_t{1} << 63);
        values.push_back(extended_from_bits(significand, static_cast<std::uint16_t>(near_exponent(random))));
        values.push_back(extended_from_bits(any64(random), static_cast<std::uint16_t>(any_exponent(random))));
    }
    // Neighbours of the powers of ten, where the exponent estimate and the
    // scaling meet.
    long double ten = 1e-40L;
    for (int i = -40; i <= 40; ++i, ten *= 10) {
        long double below = ten;
        long double above = ten;
        for (int step = 0; step < 3; ++step) {
            below = std::nextafter(below, 0.0L);
            above = std::nextafter(above, std::numeric_limits<long double>::infinity());
            values.push_back(below);
            values.push_back(above);
        }
        values.push_back(ten);
    }
    for (const long double value : values) expect_shorter_strings_agree(value);
}

}  // namespace
