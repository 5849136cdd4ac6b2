// A frame's digit strings and its log print forms are made by shortcuts past
// the general conversion: singles read their exponent from their own bits,
// whole numbers skip the scaling, and the log's print forms are rounded as
// they are laid out. Each must give what the general path gives, byte for
// byte, for every value, not only the ones a tracker sends.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "format/number_text.h"
#include "format/rounded_print_form.h"

namespace {

std::string shown(const digit_string& d)
{
    return (d.negative ? "-0." : "0.") + std::string(d.digits, static_cast<std::size_t>(d.count)) + "e" +
           std::to_string(d.exponent) + (d.infinite ? " (infinite)" : "");
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

// A kept string holds the last frame's digits; every member must be
// written again.
digit_string scribbled()
{
    digit_string d;
    std::memset(d.digits, 'x', sizeof d.digits);
    d.negative = true;
    d.count = 3;
    d.exponent = -77;
    d.infinite = true;
    return d;
}

void expect_single_shortcut_agrees(float value)
{
    digit_string d = scribbled();
    single_digits_into(value, d);
    ASSERT_EQ(shown(d), shown(decimal_digits(value, full_digit_count)))
        << "bits " << std::hex << std::bit_cast<std::uint32_t>(value);
}

void expect_whole_shortcut_agrees(std::int32_t value)
{
    digit_string d = scribbled();
    whole_number_digits_into(value, d);
    ASSERT_EQ(shown(d), shown(decimal_digits(value, full_digit_count))) << value;
}

// Every length the fused layout takes, against the rounded string laid out
// by the general rules.
void expect_rounded_layout_agrees(const digit_string& full)
{
    for (int n = 0; n <= full_digit_count + 1; ++n) {
        char fused[rounded_print_form_room];
        char general[print_form_limit];
        const std::size_t fused_length = lay_out_rounded_print_form(full, n, std::span(fused));
        const std::size_t general_length = lay_out_print_form(shorter_digits(full, n), std::span(general));
        ASSERT_EQ(std::string(fused, fused_length), std::string(general, general_length))
            << shown(full) << " N " << n;
    }
}

void expect_rounded_layout_agrees(long double value)
{
    expect_rounded_layout_agrees(decimal_digits(value, full_digit_count));
}

// Values where a rounding decides: neighbours of powers of ten, ties on
// every digit, and runs of nines that carry into a new decade.
std::vector<long double> edge_values()
{
    std::vector<long double> values = {0.0L,
                                       -0.0L,
                                       std::numeric_limits<long double>::infinity(),
                                       -std::numeric_limits<long double>::infinity(),
                                       std::numeric_limits<long double>::quiet_NaN(),
                                       std::numeric_limits<long double>::max(),
                                       std::numeric_limits<long double>::denorm_min(),
                                       std::numeric_limits<float>::max(),
                                       std::numeric_limits<float>::denorm_min()};
    long double ten = 1e-12L;
    for (int i = -12; i <= 20; ++i, ten *= 10) {
        for (const long double base : {1.0L, 9.9999995L, 9.99995L, 0.99999995L, 1.5L, 2.5L, 1.25L, 7.0L / 3}) {
            const long double value = base * ten;
            for (const long double v : {value, std::nextafter(value, 0.0L), std::nextafter(value, 1e30L)}) {
                values.push_back(v);
                values.push_back(-v);
                values.push_back(static_cast<float>(v));
            }
        }
    }
    return values;
}

TEST(digit_shortcuts, scaling_factors_up_to_ten_to_the_27_are_exact)
{
    // The shortcut takes 10^p from a table of exact values; that is only the
    // general factor if the general factor is exact too.
    __extension__ using u128 = unsigned __int128;
    u128 exact = 1;
    for (unsigned p = 0; p <= 27; ++p, exact *= 10) {
        EXPECT_EQ(power_of_ten(p), static_cast<long double>(exact)) << p;
    }
}

TEST(digit_shortcuts, singles_give_the_general_digits)
{
    // Every exponent, either sign, the ends and middle of the significand.
    for (std::uint32_t field = 0; field <= 0xFF; ++field) {
        for (const std::uint32_t fraction : {0u, 1u, 0x400000u, 0x7FFFFEu, 0x7FFFFFu, 0x123456u}) {
            for (const std::uint32_t sign : {0u, 1u}) {
                expect_single_shortcut_agrees(std::bit_cast<float>(sign << 31 | field << 23 | fraction));
            }
        }
    }
    // What trackers send: coordinates to 5 places, voltages and climb rates
    // to 2, speeds in steps of a knot.
    for (int i = -18000000; i <= 18000000; i += 997) {
        expect_single_shortcut_agrees(static_cast<float>(i / 100000.0L));
        expect_single_shortcut_agrees(static_cast<float>(i / 10000 / 100.0L));
    }
    for (int i = 0; i < 256; ++i) {
        expect_single_shortcut_agrees(static_cast<float>(static_cast<long double>(1.852f) * i));
        expect_single_shortcut_agrees(static_cast<float>(i) * 0.0196f);
    }
    for (const long double value : edge_values()) expect_single_shortcut_agrees(static_cast<float>(value));
    std::mt19937 random(7);
    for (int i = 0; i < 200000; ++i) expect_single_shortcut_agrees(std::bit_cast<float>(static_cast<std::uint32_t>(random())));
}

TEST(digit_shortcuts, whole_numbers_give_the_general_digits)
{
    std::int64_t ten = 1;
    for (int i = 0; i <= 10; ++i, ten *= 10) {
        for (const std::int64_t v : {ten - 1, ten, ten + 1, -ten + 1, -ten, -ten - 1}) {
            if (v >= std::numeric_limits<std::int32_t>::min() && v <= std::numeric_limits<std::int32_t>::max()) {
                expect_whole_shortcut_agrees(static_cast<std::int32_t>(v));
            }
        }
    }
    expect_whole_shortcut_agrees(std::numeric_limits<std::int32_t>::min());
    expect_whole_shortcut_agrees(std::numeric_limits<std::int32_t>::max());
    std::mt19937 random(11);
    for (int i = 0; i < 200000; ++i) {
        const auto value = static_cast<std::int32_t>(random());
        expect_whole_shortcut_agrees(value);
        expect_whole_shortcut_agrees(value >> (i % 31));
    }
}

TEST(digit_shortcuts, eighteen_digit_integers_keep_their_own_digits)
{
    // Integers of 18 digits are their own scaled value, so their digit
    // strings are their decimal texts: every digit position the digit
    // writer fills, with each half of nine at its ends.
    std::vector<std::uint64_t> values = {100000000000000000u, 999999999999999999u, 100000000999999999u,
                                         999999999000000000u, 123456789000000000u, 100000000100000000u,
                                         199999999099999999u, 909090909090909090u};
    std::mt19937_64 random(18);
    std::uniform_int_distribution<std::uint64_t> any(100000000000000000u, 999999999999999999u);
    for (int i = 0; i < 100000; ++i) values.push_back(any(random));
    for (const std::uint64_t value : values) {
        const digit_string d = decimal_digits(static_cast<long double>(value), full_digit_count);
        ASSERT_EQ(std::string(d.digits, 19), std::to_string(value) + "0");
        ASSERT_EQ(d.exponent, 18);
    }
}

TEST(digit_shortcuts, rounded_print_forms_are_the_general_layout_of_the_rounded_string)
{
    for (const long double value : edge_values()) expect_rounded_layout_agrees(value);
    for (int i = -40000; i <= 40000; i += 7) {
        expect_rounded_layout_agrees(i);
        expect_rounded_layout_agrees(static_cast<float>(i / 1000.0L));
    }
    std::mt19937_64 random(15);
    for (int i = 0; i < 30000; ++i) {
        expect_rounded_layout_agrees(std::bit_cast<float>(static_cast<std::uint32_t>(random())));
        expect_rounded_layout_agrees(extended_from_bits(random() | 1ULL << 63, static_cast<std::uint16_t>(random())));
        expect_rounded_layout_agrees(extended_from_bits(random(), static_cast<std::uint16_t>(random())));
    }
    // Strings no conversion makes must be laid out alike all the same.
    digit_string negative_zero = decimal_digits(0, full_digit_count);
    negative_zero.negative = true;
    expect_rounded_layout_agrees(negative_zero);
    digit_string short_string = decimal_digits(2.5L, 3);
    expect_rounded_layout_agrees(short_string);
}

}  // namespace
