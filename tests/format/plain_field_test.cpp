// A plain number field (digits and a point, nothing else) is laid out by a
// shortcut that moves its pieces whole. It must write exactly what the
// general layout writes, byte for byte, for every value and every plain
// field, and leave to the general layout whatever it cannot take.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "format/mask.h"
#include "format/mask_fields.h"
#include "format/masks.h"

namespace {

mask_field field_of(byte_view mask)
{
    mask_field field;
    EXPECT_TRUE(read_mask_field(mask, 0, field)) << mask;
    return field;
}

// The state's text up to `before` bytes, as a row's earlier fields leave it.
void start_at(mask_state& state, std::size_t before)
{
    begin_mask(state, "");
    std::memset(state.text, 'p', sizeof state.text);
    state.length = before;
}

// True when the shortcut took the value.
bool expect_same_text(const mask_field& field, const digit_string& d, std::size_t before)
{
    static mask_state shortcut;
    static mask_state general;
    start_at(shortcut, before);
    start_at(general, before);
    if (!lay_out_plain_number_field(shortcut, field, d)) {
        EXPECT_EQ(shortcut.length, before);
        return false;
    }
    lay_out_number_field(general, field, d);
    EXPECT_EQ(std::string(mask_text(shortcut)), std::string(mask_text(general)))
        << "field length " << field.length << " value 0." << std::string(d.digits, 19) << "e" << d.exponent
        << (d.negative ? " negative" : "");
    return true;
}

std::vector<digit_string> values()
{
    std::vector<long double> numbers = {0.0L, -0.0L, std::numeric_limits<long double>::infinity(),
                                        -std::numeric_limits<long double>::infinity(),
                                        std::numeric_limits<long double>::quiet_NaN(),
                                        std::numeric_limits<long double>::max(),
                                        std::numeric_limits<long double>::denorm_min()};
    // Ties, carries and neighbours of powers of ten at every scale a field
    // of up to 15 places shows.
    long double ten = 1e-18L;
    for (int i = -18; i <= 17; ++i, ten *= 10) {
        for (const long double base : {1.0L, 5.0L, 9.5L, 9.9999995L, 9.995L, 0.5L, 1.5L, 2.5L, 4.9999999L, 7.0L / 3}) {
            const long double v = base * ten;
            for (const long double n : {v, std::nextafter(v, 0.0L), std::nextafter(v, 1e30L)}) {
                numbers.push_back(n);
                numbers.push_back(-n);
                numbers.push_back(static_cast<float>(n));
            }
        }
    }
    // Runs of nines of every length that carry into a new decade when
    // rounded, at every scale.
    long double tenth = 0.1L;
    for (int nines = 1; nines <= 18; ++nines, tenth /= 10) {
        long double scale = 1e-16L;
        for (int j = -16; j <= 17; ++j, scale *= 10) {
            numbers.push_back((1 - 4 * tenth / 10) * scale);
            numbers.push_back(-(1 - 5 * tenth / 10) * scale);
        }
    }
    std::mt19937_64 random(1852);
    std::uniform_real_distribution<double> degrees(-200, 200);
    for (int i = 0; i < 3000; ++i) {
        numbers.push_back(std::bit_cast<float>(static_cast<std::uint32_t>(random())));
        numbers.push_back(static_cast<float>(std::round(degrees(random) * 100000) / 100000));
        numbers.push_back(static_cast<std::int32_t>(random()) >> (i % 32));
        numbers.push_back(static_cast<float>(std::round(degrees(random) * 100) / 100));
    }
    std::vector<digit_string> strings;
    for (const long double n : numbers) strings.push_back(decimal_digits(n, full_digit_count));
    // Strings no conversion makes: a negative zero, and digits past the
    // 19th that a shorter string leaves behind.
    digit_string negative_zero = decimal_digits(0, full_digit_count);
    negative_zero.negative = true;
    strings.push_back(negative_zero);
    strings.push_back(decimal_digits(0.123456789L, 4));
    return strings;
}

TEST(plain_field, lays_out_every_value_as_the_general_rules_do)
{
    const byte_view masks[] = {"#",      "##",         "###",         "#####",        "######",
                               ".#",     ".##",        "#.#",         "#.##",         "##.#",
                               "###.##", "###.######", "#.#######",   ".###############",
                               "###############",      "################", "#######.########"};
    const std::vector<digit_string> strings = values();
    int taken = 0;
    int tried = 0;
    for (const byte_view mask : masks) {
        const mask_field field = field_of(mask);
        ASSERT_TRUE(field.plain) << mask;
        for (const digit_string& d : strings) {
            ++tried;
            if (expect_same_text(field, d, 17)) ++taken;
            if (testing::Test::HasFailure()) return;
        }
    }
    // The shortcut must carry the fields it was made for, not pass them on.
    EXPECT_GT(taken, tried * 3 / 4);
}

TEST(plain_field, leaves_the_end_of_the_result_to_the_general_rules)
{
    const mask_field field = field_of("###.######");
    const digit_string d = decimal_digits(-23.55052f, full_digit_count);
    for (std::size_t before = mask_result_limit - 160; before <= mask_result_limit; ++before) {
        expect_same_text(field, d, before);
    }
    // Through the formatter, the last field of a full result is cut as any
    // text is.
    const byte_string mask = std::string(mask_result_limit - 5, 'x') + "###.######";
    mask_state state = begin_mask(byte_view(mask));
    add_digits(state, d);
    EXPECT_EQ(std::string(mask_text(state)), std::string(mask_result_limit - 5, 'x') + "-23.5");
}

TEST(plain_field, only_fields_that_show_bare_digits_are_plain)
{
    for (const byte_view mask : {"+##.#", "##.#-", "##.#+", "**#.#", "$$#.#", "#,###.#", "##.#^^^^"}) {
        EXPECT_FALSE(field_of(mask).plain) << mask;
    }
    EXPECT_FALSE(field_of("#################").plain);
    mask_field text_field;
    ASSERT_TRUE(read_mask_field("&", 0, text_field));
    EXPECT_FALSE(text_field.plain);
}

}  // namespace
