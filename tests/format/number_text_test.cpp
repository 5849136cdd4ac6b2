// Number texts are compared byte for byte: they reach the screen and the log
// as they are, so a wrong last digit is a wrong log line.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <utility>

#include "format/number_text.h"

namespace {

constexpr long double infinity = std::numeric_limits<long double>::infinity();
constexpr long double not_a_number = std::numeric_limits<long double>::quiet_NaN();

// The single nearest to a decimal, as the decoder stores its values.
long double single(long double value) { return static_cast<float>(value); }

struct text_case {
    long double value;
    int precision;
    const char* text;
};

TEST(print_form, lays_out_fixed_and_exponent_forms)
{
    const text_case cases[] = {
        // Integers: sign position, digits, one trailing space.
        {3, 15, " 3 "},
        {123, 15, " 123 "},
        {-5, 7, "-5 "},
        {-32768, 7, "-32768 "},
        {9999999, 7, " 9999999 "},
        {12345678, 15, " 12345678 "},
        {999999999999999, 15, " 999999999999999 "},
        // Zero of either sign and NaN of either sign all print as zero.
        {0, 7, " 0 "},
        {-0.0L, 7, " 0 "},
        {not_a_number, 7, " 0 "},
        {-not_a_number, 15, " 0 "},
        // Fractions: no zero before the point.
        {0.5, 7, " .5 "},
        {-0.25, 7, "-.25 "},
        {single(0.00001L), 7, " .00001 "},
        {single(0.0000001L), 7, " .0000001 "},
        // One digit more than fits: the exponent form.
        {10000000, 7, " 1E+7 "},
        {12345678, 7, " 1.234568E+7 "},
        {1e15L, 15, " 1E+15 "},
        {single(0.00012345L), 7, " 1.2345E-4 "},
        {single(0.00000001L), 7, " 1E-8 "},
        {-single(0.00000001L), 7, "-1E-8 "},
        // Infinities are nines with exponent 998.
        {infinity, 7, " 9.999999E+998 "},
        {-infinity, 7, "-9.999999E+998 "},
        {infinity, 15, " 9.99999999999999E+998 "},
        // Values the log shows: speeds, battery voltages, a latitude.
        {single(1.852L), 7, " 1.852 "},
        {single(10 * static_cast<long double>(1.852f)), 7, " 18.52 "},
        {single(25 * static_cast<long double>(1.852f)), 7, " 46.3 "},
        {single(255 * static_cast<long double>(1.852f)), 7, " 472.26 "},
        {single(3.92L), 7, " 3.92 "},
        {single(0.02L), 7, " .02 "},
        {5, 7, " 5 "},
        {single(-23.55052L), 7, "-23.55052 "},
        // Rounding looks at digit N+1 alone, ties to even digit N.
        {1234567.5, 7, " 1234568 "},
        {1234566.5, 7, " 1234566 "},
        {single(1.0000025L), 7, " 1.000002 "},
        // A carry past the first digit can push the text into exponent form.
        {9999999.5, 7, " 1E+7 "},
        {9999998.5, 7, " 9999998 "},
    };
    for (const text_case& c : cases) {
        EXPECT_EQ(print_form(c.value, c.precision), c.text) << static_cast<double>(c.value);
    }
}

TEST(number_text, drops_the_spaces_the_callers_do_not_want)
{
    EXPECT_EQ(number_text(3000), "3000");
    EXPECT_EQ(number_text(-7), "-7");
    EXPECT_EQ(number_text(0), "0");
    EXPECT_EQ(signed_number_text(5), " 5");
    EXPECT_EQ(signed_number_text(-7), "-7");

    // A part of the time text: the last two characters of "0" and the digits.
    const auto time_part = [](int byte) {
        const byte_string text = "0" + left_trim(signed_number_text(byte));
        return text.substr(text.size() - 2);
    };
    EXPECT_EQ(time_part(5), "05");
    EXPECT_EQ(time_part(59), "59");
    EXPECT_EQ(time_part(123), "23");
}

TEST(left_trim, removes_leading_spaces_only)
{
    EXPECT_EQ(left_trim("  -7"), "-7");
    EXPECT_EQ(left_trim("    "), "");
    EXPECT_EQ(left_trim(""), "");
    EXPECT_EQ(left_trim("\t 7"), "\t 7");
    EXPECT_EQ(left_trim(" a b "), "a b ");
    EXPECT_EQ(left_trim(byte_string(" \0x", 3)), byte_string("\0x", 2));
}

TEST(round_to_places, rounds_binary_halves_to_even)
{
    struct round_case {
        long double value;
        int places;
        long double expected;
    };
    const long double volt_step = 0.0196f;
    const round_case cases[] = {
        {2.5, 0, 2},
        {3.5, 0, 4},
        {-2.5, 0, -2},
        {0.125, 2, 12 / 100.0L},
        {0.375, 2, 38 / 100.0L},
        {0.015625, 5, 1562 / 100000.0L},
        {200 * volt_step, 2, 392 / 100.0L},
        {255 * volt_step, 2, 5},
        {50 * volt_step, 2, 98 / 100.0L},
        {51 * volt_step, 2, 1},
    };
    for (const round_case& c : cases) {
        EXPECT_EQ(round_to_places(c.value, c.places), c.expected)
            << static_cast<double>(c.value) << " to " << c.places;
    }

    // A count beyond 17, or a negative one, means 18 places: a third loses
    // its digits beyond the 18th.
    const long double third = 1.0L / 3;
    EXPECT_NE(round_to_places(third, 18), third);
    EXPECT_EQ(round_to_places(third, -1), round_to_places(third, 18));
    EXPECT_EQ(round_to_places(third, 400), round_to_places(third, 18));

    EXPECT_EQ(round_to_places(infinity, 5), infinity);
    EXPECT_EQ(round_to_places(-infinity, 2), -infinity);
    EXPECT_TRUE(std::isnan(round_to_places(not_a_number, 5)));
}

TEST(hex_pair_value, reads_leading_hexadecimal_digits)
{
    const std::pair<byte_string, int> cases[] = {
        {"4F", 79}, {"ff", 255}, {"0a", 10},  {"A", 10},           {"G1", 0},
        {"1G", 1},  {" 1", 0},   {"1 ", 1},   {"", 0},             {byte_string("\0" "1", 2), 0},
        {"00", 0},  {"9f", 159}, {"\xff", 0}, {"fF", 255},
    };
    for (const auto& [text, value] : cases) EXPECT_EQ(hex_pair_value(text), value) << text;
}

TEST(first_char_code, gives_the_unsigned_code_or_minus_one)
{
    EXPECT_EQ(first_char_code(""), -1);
    EXPECT_EQ(first_char_code("xyz"), 120);
    EXPECT_EQ(first_char_code("\x1b"), 27);
    EXPECT_EQ(first_char_code(byte_string(1, '\0')), 0);
    EXPECT_EQ(first_char_code("\xff"), 255);
}

TEST(power, integer_powers_are_exact)
{
    for (int i = 0; i < 64; ++i) {
        EXPECT_EQ(power(2, i), std::ldexp(1.0L, i)) << i;
        EXPECT_EQ(power(2, -i), std::ldexp(1.0L, -i)) << i;
    }
    EXPECT_EQ(power(10, 3), 1000);
    EXPECT_EQ(power(-3, 3), -27);
    EXPECT_EQ(power(7, 0), 1);
}

// An exact model of the digit generation, in integers: the value is scaled
// by an exact power of ten, the product (or quotient) rounded once to a
// 64-bit significand, then to an integer, then, when it has 19 digits, by
// ten again; digit N+1 alone decides the rounding to N digits.
__extension__ using u128 = unsigned __int128;

int decimal_length(u128 x)
{
    int n = 0;
    for (; x != 0; x /= 10) ++n;
    return n;
}

int bit_length(u128 x)
{
    int n = 0;
    for (; x != 0; x >>= 1) ++n;
    return n;
}

u128 power_of_five(int p)
{
    u128 x = 1;
    while (p-- > 0) x *= 5;
    return x;
}

// x / 2^shift to the nearest integer, ties to even; `below` says whether
// non-zero bits lie beneath x.
u128 shift_to_nearest(u128 x, int shift, bool below)
{
    if (shift <= 0) return x << -shift;
    const u128 dropped = x & ((u128{1} << shift) - 1);
    const u128 half = u128{1} << (shift - 1);
    x >>= shift;
    if (dropped > half || (dropped == half && (below || (x & 1) != 0))) ++x;
    return x;
}

struct exact_digits {
    bool negative = false;
    std::string digits;
    int exponent = 0;
};

// For normal singles whose decimal exponent lies in -10..38, where the
// power of ten used for scaling is exact.
exact_digits reference_digits(float value, int n)
{
    const auto bits = std::bit_cast<std::uint32_t>(value);
    const int field = static_cast<int>(bits >> 23 & 0xFF);
    const u128 significand = (bits & 0x7FFFFF) | 0x800000;
    const int binary_exponent = field - 127;
    // The largest k with 10^k <= 2^b.
    const int k = binary_exponent >= 0
                      ? decimal_length(u128{1} << binary_exponent) - 1
                      : -decimal_length((u128{1} << -binary_exponent) - 1);
    const int p = 17 - k;

    u128 scaled;
    int scale;
    bool below = false;
    if (p >= 0) {
        scaled = significand * power_of_five(p);
        scale = field - 150 + p;
    } else {
        const int shift = 92;
        const u128 divisor = power_of_five(-p);
        scaled = (significand << shift) / divisor;
        below = (significand << shift) % divisor != 0;
        scale = field - 150 + p - shift;
    }
    const int excess = bit_length(scaled) - 64;
    if (excess > 0) {
        scaled = shift_to_nearest(scaled, excess, below);
        scale += excess;
    }
    u128 y = shift_to_nearest(scaled, -scale, false);
    int exponent = k + 1;
    if (decimal_length(y) > 18) {
        const u128 rest = y % 10;
        y /= 10;
        if (rest > 5 || (rest == 5 && (y & 1) != 0)) ++y;
        ++exponent;
    }

    std::string all;
    for (; y != 0; y /= 10) all.insert(all.begin(), static_cast<char>('0' + static_cast<int>(y % 10)));
    all += "00";
    std::string kept = all.substr(0, static_cast<std::size_t>(n));
    const char next = all[static_cast<std::size_t>(n)];
    if (next > '5' || (next == '5' && (kept.back() - '0') % 2 == 1)) {
        int i = n - 1;
        while (i >= 0 && kept[static_cast<std::size_t>(i)] == '9') kept[static_cast<std::size_t>(i--)] = '0';
        if (i >= 0) {
            ++kept[static_cast<std::size_t>(i)];
        } else {
            kept[0] = '1';
            ++exponent;
        }
    }
    return {(bits >> 31) != 0, kept, exponent};
}

// Reads a print form back into sign, significant digits and exponent, and
// says which form it used.
struct read_form {
    bool negative = false;
    std::string digits;
    int exponent = 0;
    bool exponent_form = false;
};

read_form read_print_form(const byte_string& text)
{
    read_form r;
    r.negative = text.front() == '-';
    const byte_string body = text.substr(1, text.size() - 2);
    const std::size_t e = body.find('E');
    r.exponent_form = e != byte_string::npos;
    if (r.exponent_form) {
        for (const char c : body.substr(0, e)) {
            if (c != '.') r.digits += c;
        }
        const int shown = std::stoi(body.substr(e + 2));
        r.exponent = (body[e + 1] == '-' ? -shown : shown) + 1;
        return r;
    }
    const std::size_t point = body.find('.');
    const byte_string whole = body.substr(0, point);
    const byte_string fraction = point == byte_string::npos ? "" : body.substr(point + 1);
    r.digits = whole + fraction;
    r.exponent = static_cast<int>(whole.size());
    while (!r.digits.empty() && r.digits.front() == '0') {
        r.digits.erase(0, 1);
        --r.exponent;
    }
    while (!r.digits.empty() && r.digits.back() == '0') r.digits.pop_back();
    return r;
}

void expect_matches_reference(float value, int n)
{
    const exact_digits expected = reference_digits(value, n);
    const digit_string d = decimal_digits(value, n);
    ASSERT_EQ(std::string(d.digits, static_cast<std::size_t>(d.count)), expected.digits)
        << "bits " << std::hex << std::bit_cast<std::uint32_t>(value) << " N " << std::dec << n;
    ASSERT_EQ(d.exponent, expected.exponent) << std::bit_cast<std::uint32_t>(value);
    ASSERT_EQ(d.negative, expected.negative);

    // The text shows exactly those digits, in fixed form whenever that
    // needs no more than N digit positions, and never with a zero in front.
    std::string significant = expected.digits;
    while (significant.back() == '0') significant.pop_back();
    const int s = static_cast<int>(significant.size());
    const int e = expected.exponent;
    const int fixed_positions = e >= s ? e : (e <= 0 ? s - e : s);
    const byte_string text = print_form(value, n);
    const read_form r = read_print_form(text);
    ASSERT_EQ(r.digits, significant) << text;
    ASSERT_EQ(r.exponent, e) << text;
    ASSERT_EQ(r.negative, expected.negative) << text;
    ASSERT_EQ(r.exponent_form, fixed_positions > n) << text;
    ASSERT_NE(text[1], '0') << text;
    ASSERT_EQ(text.back(), ' ');
}

TEST(decimal_digits, agree_with_exact_arithmetic_on_random_singles)
{
    std::mt19937 random(20240611);
    // Binary exponents -33 to 127 keep the decimal exponent within -10..38.
    std::uniform_int_distribution<std::uint32_t> field(94, 254);
    std::uniform_int_distribution<std::uint32_t> fraction(0, 0x7FFFFF);
    for (int i = 0; i < 20000; ++i) {
        const std::uint32_t bits = (static_cast<std::uint32_t>(i & 1) << 31) | field(random) << 23 |
                                   (i % 97 == 0 ? 0 : fraction(random));
        const float value = std::bit_cast<float>(bits);
        expect_matches_reference(value, 7);
        expect_matches_reference(value, 15);
    }
}

TEST(decimal_digits, agree_with_exact_arithmetic_around_powers_of_ten)
{
    // The decimal exponent estimate and the 19-digit case meet here.
    long double ten = 1e-9L;
    for (int i = -9; i <= 38; ++i, ten *= 10) {
        float value = static_cast<float>(ten);
        value = std::nextafter(value, 0.0f);
        value = std::nextafter(value, 0.0f);
        for (int step = 0; step < 5; ++step, value = std::nextafter(value, std::numeric_limits<float>::max())) {
            expect_matches_reference(value, 7);
            expect_matches_reference(value, 15);
        }
    }
}

}  // namespace
