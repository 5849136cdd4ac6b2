#include "format/mask.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <iterator>
#include <limits>
#include <random>
#include <vector>

#include "format/masks.h"

namespace {

byte_string format_one(byte_view mask, long double value)
{
    mask_state state = begin_mask(mask);
    add_number(state, value);
    return end_mask(state);
}

struct number_case {
    const char* mask;
    long double value;
    const char* text;
};

void expect_texts(const std::vector<number_case>& cases)
{
    for (const number_case& c : cases) {
        EXPECT_EQ(format_one(c.mask, c.value), c.text) << "mask [" << c.mask << "] value " << c.value;
    }
}

TEST(mask, formats_the_field_texts_the_receiver_shows)
{
    expect_texts({
        {"######", 123, "   123"},
        {"######", -5, "    -5"},
        {"######", -32768, "-32768"},
        {"######", 1234567, "1234567"},
        {"###.######", -23.55052f, "-23.550520"},
        {"###.######", 5.12345f, "  5.123450"},
        {"###.######", -123.45678f, "-123.456779"},
        {"###.######", 0, "  0.000000"},
        {"#####", -1234, "-1234"},
        {"#####", -12345, "-12345"},
        {"##.#", 10 * 1.852f, "18.5"},
        {"##.#", 0, " 0.0"},
        {"##.#", 0.05f, " 0.1"},
        {"##.#", 0.05L, " 0.0"},
        {"##.#", 99.96f, "100.0"},
        {"##", 100, "100"},
        {"###", -5, " -5"},
        {"###", -128, "-128"},
        {"#.##", 5, "5.00"},
        {"#.##", 0.02f, "0.02"},
        {"###.##", -1.17f, " -1.17"},
        {"###.##", -166.67f, "-166.67"},
        {"###.##", -0.001L, " -0.00"},
        {"###.##", 0.125, "  0.12"},
        {"###.##", 0.375, "  0.38"},
        {"#", 1.5, "2"},
        {"#", 2.5, "2"},
        {"#", -5, "-5"},
        {"#.##", -0.5, "-.50"},
        {"###.######", 1.00000002e20f, "100.000002E+18"},
        {"###.######", 1e15f, "999.999987E+12"},
    });
}

TEST(mask, rounds_carries_and_widens_at_the_edges)
{
    const long double inf = std::numeric_limits<long double>::infinity();
    expect_texts({
        {"#.##", std::nanl(""), "0.00"},       // not a number shows as zero
        {"#.##", -0.0L, "0.00"},               // so does negative zero, unsigned
        {"#.##", 1e-30L, "0.00"},              // far below the first decimal place
        {"#.#", 0.96L, "1.0"},                 // carry out of the decimals
        {"#", 9.5L, "10"},                     // carry that widens
        {"#", 0.6L, "1"},                      // nothing kept counts as a kept 0
        {"#", 0.5L, "0"},
        {"#", -12, "-12"},                     // sign and two digits in one position
        {"#", -0.4L, "-0"},                    // the sign beside a lone position, not in it
        {".##", 0.5L, ".50"},
        {".##", -0.5L, "-.50"},
        {".##", 0, ".00"},
        {"##.#", -1e25L, "-1.0E+25"},
        {"###.######", -1e20f, "-10.000000E+19"},
        {"##.##", inf, "10.00E+998"},
        {"##.##", -inf, "-1.00E+999"},
        {"#.##", 1e4000L, "1.00E+4000"},
    });
}

TEST(mask, gives_the_other_field_characters_their_meaning)
{
    expect_texts({
        {"#,###", 1234567, "1,234,567"},
        {"##,##", 999, "  999"},
        {"#,###.##", -1234.5L, "-1,234.50"},
        {"+###", 5, "  +5"},
        {"+###", -12, " -12"},
        {"###-", -5, "  5-"},
        {"###-", 5, "  5 "},
        {"###+", 5, "  5+"},
        {"**###", 12, "***12"},
        {"**###", -12, "**-12"},
        {"$$###", 12, "  $12"},
        {"**$##", 7.5L, "***$8"},
        {"##.##^^^^", 12346, "12.35E+03"},
        {"##.##^^^^", 12345, "12.34E+03"},  // an exact half goes to even
        {"##.##^^^^", 0, " 0.00E+00"},
        {"#.#^^^^^", 0.00012345L, "1.2E-004"},
        {"#.#^^^", 1.5e100L, "1.5E+100"},  // too few exponent digits: widens
        {"#^^", 5, "5^^"},                  // two "^" are no exponent field
        {"*#", 5, "*5"},                    // a lone "*" is literal
        {"#,", 5, "5,"},
        {"_#_", 5, "#_"},                   // an escaped "#", then "_" at the end
        {"a_#b#c", 5, "a#b5c"},
    });
}

TEST(mask, places_texts_into_string_fields)
{
    struct text_case {
        const char* mask;
        const char* text;
        const char* result;
    };
    for (const text_case& c : std::vector<text_case>{
             {"[&]", "12:34:56", "[12:34:56]"},
             {"[&]", "", "[]"},
             {"[!]", "xyz", "[x]"},
             {"[!]", "", "[ ]"},
             {"[\\  \\]", "abcdef", "[abcd]"},
             {"[\\  \\]", "ab", "[ab  ]"},
             {"[\\\\]", "abc", "[ab]"},
             {"[###]", "ab", "[ ab]"},  // a text in a numeric field stays whole
         }) {
        mask_state state = begin_mask(c.mask);
        add_text(state, c.text);
        EXPECT_EQ(end_mask(state), c.result) << c.mask;
    }
    // A number in a string field keeps the fields after it in step.
    mask_state state = begin_mask("&-#");
    add_number(state, -7);
    add_number(state, 3);
    EXPECT_EQ(end_mask(state), "-7-3");
}

TEST(mask, follows_the_mask_position_across_arguments)
{
    const std::uint8_t address[4][4] = {{192, 168, 1, 10}, {10, 0, 0, 5}, {0, 0, 0, 0}, {255, 255, 255, 255}};
    const char* dotted[4] = {"192.168.1.10", "10.0.0.5", "0.0.0.0", "255.255.255.255"};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(format_address_text(address[i]), dotted[i]);

    // Fewer arguments than fields stop after the literal text that follows
    // the last one; more start the mask again from its first field.
    mask_state state = begin_mask(address_mask);
    for (const int byte : {192, 168, 1}) add_number(state, byte);
    EXPECT_EQ(end_mask(state), "192.168.1.");
    state = begin_mask(address_mask);
    for (const int byte : {192, 168, 1, 10, 5}) add_number(state, byte);
    EXPECT_EQ(end_mask(state), "192.168.1.105.");

    // A mask without a field takes in no value and copies its text once.
    state = begin_mask("no field");
    add_number(state, 1);
    add_text(state, "x");
    EXPECT_EQ(end_mask(state), "no field");
    state = begin_mask("");
    add_number(state, 1);
    EXPECT_EQ(end_mask(state), "");
}

TEST(mask, never_lets_the_result_pass_its_limit)
{
    mask_state state = begin_mask("&&");
    add_text(state, byte_string(1000, 'a'));
    add_text(state, byte_string(1000, 'b'));
    const byte_string result = end_mask(state);
    EXPECT_EQ(result, byte_string(1000, 'a') + byte_string(24, 'b'));
    EXPECT_EQ(format_one(byte_string(3000, '#'), 1).size(), mask_result_limit);
}

decoded_frame frame_of(std::int32_t counter, const char* time, float latitude, float longitude,
                       std::int16_t altitude, float speed, std::uint8_t satellites,
                       std::int16_t temperature, float battery, float climb)
{
    decoded_frame f;
    f.counter = counter;
    f.time_text = time;
    f.latitude = latitude;
    f.longitude = longitude;
    f.altitude = altitude;
    f.speed = speed;
    f.satellites = satellites;
    f.temperature = temperature;
    f.battery_voltage = battery;
    f.climb_rate = climb;
    return f;
}

TEST(mask, formats_table_rows)
{
    const auto speed = [](int raw) { return static_cast<float>(raw * 1.852L); };
    EXPECT_EQ(format_table_row(frame_of(123, "12:34:56", -23.55052f, -46.63308f, 1234, speed(25), 8, -5,
                                        3.92f, 0)),
              "    123  12:34:56 -23.550520  -46.633080  1234  46.3    8    -5    3.92   0.00");
    EXPECT_EQ(format_table_row(frame_of(-1, "23:59:59", 0.00001f, 100.5f, -50, 0, 0, 0, 0, -0.5f)),
              "     -1  23:59:59   0.000010  100.500000   -50   0.0    0     0    0.00  -0.50");
    EXPECT_EQ(format_table_row(frame_of(7, "01:02:03", 0, 0, 0, speed(54), 12, 25, 1.96f, 12345.67f)),
              "      7  01:02:03   0.000000    0.000000     0  100.0   12    25    1.96 12345.67");
    EXPECT_EQ(format_table_row(frame_of(1234, "12:34:56", -23.55052f, -46.63331f, 760, speed(27), 9, -10,
                                        4.02f, 6)),
              "   1234  12:34:56 -23.550520  -46.633308   760  50.0    9   -10    4.02   6.00");
}

// The row's columns: where each field starts, its width and decimal places
// when nothing widens, and the literal gap in front of it.
struct column {
    std::size_t start;  // 0-based
    std::size_t width;
    int decimals;
};
constexpr column row_columns[10] = {{1, 6, 0},  {9, 8, -1},  {18, 10, 6}, {30, 10, 6}, {41, 5, 0},
                                    {48, 4, 1}, {55, 2, 0},  {60, 3, 0},  {67, 4, 2},  {72, 6, 2}};

// The field text as the C library prints it, right-justified: an oracle
// that shares nothing with the formatter.
byte_string printed(long double value, const column& c)
{
    char buffer[64];
    const int n = std::snprintf(buffer, sizeof buffer, "%.*Lf", c.decimals, value == 0 ? 0.0L : value);
    byte_string text(buffer, static_cast<std::size_t>(n));
    return text.size() < c.width ? byte_string(c.width - text.size(), ' ') + text : text;
}

TEST(mask, moves_later_columns_by_exactly_the_widening)
{
    std::mt19937 random(20240601);
    const auto uniform = [&](double low, double high) {
        return static_cast<float>(std::uniform_real_distribution<double>(low, high)(random));
    };
    const auto integer = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    int widened_rows = 0;
    for (int i = 0; i < 2000; ++i) {
        const bool wide = integer(0, 3) == 0;  // some rows with values that overflow their fields
        decoded_frame f = frame_of(integer(-32768, 32767), "00:00:00", uniform(-90, 90), uniform(-180, 180),
                                   static_cast<std::int16_t>(integer(-32768, 32767)),
                                   static_cast<float>(integer(0, 255) * 1.852L),
                                   static_cast<std::uint8_t>(integer(0, 255)),
                                   static_cast<std::int16_t>(integer(-32768, 32767)),
                                   static_cast<float>(integer(0, 255) * 2 / 100.0L), uniform(-200, 200));
        if (wide) {
            f.latitude = uniform(-5e4, 5e4);
            f.longitude = uniform(-1e9, 1e9);
            f.climb_rate = uniform(-1e6, 1e6);
        }
        const long double values[10] = {static_cast<long double>(f.counter), 0, f.latitude, f.longitude,
                                        static_cast<long double>(f.altitude), f.speed,
                                        static_cast<long double>(f.satellites),
                                        static_cast<long double>(f.temperature), f.battery_voltage,
                                        f.climb_rate};
        const byte_string row = format_table_row(f);
        std::size_t shift = 0;
        std::size_t previous_end = 0;
        for (int k = 0; k < 10; ++k) {
            const column& c = row_columns[k];
            const byte_string expected = k == 1 ? f.time_text : printed(values[k], c);
            const std::size_t start = c.start + shift;
            ASSERT_EQ(row.substr(previous_end, start - previous_end), byte_string(start - previous_end, ' '));
            ASSERT_EQ(row.substr(start, expected.size()), expected) << "field " << k << " of [" << row << "]";
            shift += expected.size() - c.width;
            previous_end = start + expected.size();
        }
        ASSERT_EQ(row.size(), 78 + shift);
        widened_rows += shift > 0;
    }
    EXPECT_GT(widened_rows, 300);
}

TEST(mask, survives_any_mask_values_and_texts)
{
    std::mt19937 random(7);
    const auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random); };
    const char alphabet[] = "#####...,,++--**$$^^^^&!\\\\  __\0\xff\x80xy";
    const long double specials[] = {std::nanl(""), std::numeric_limits<long double>::infinity(),
                                    -std::numeric_limits<long double>::infinity(), -0.0L, 0.0L,
                                    std::numeric_limits<long double>::max(),
                                    std::numeric_limits<long double>::denorm_min(), -1e-4000L, 1e300L,
                                    0.5L, -9.5L, 99.995L, 1e19L, -123456789012345678.0L};
    for (int round = 0; round < 3000; ++round) {
        byte_string mask;
        const std::size_t length = pick(8) == 0 ? pick(1500) : pick(40);
        for (std::size_t i = 0; i < length; ++i) mask.push_back(alphabet[pick(sizeof alphabet - 1)]);
        byte_string first;
        for (int pass = 0; pass < 2; ++pass) {
            std::mt19937 arguments(static_cast<unsigned>(round));
            const auto choose = [&](std::size_t n) {
                return std::uniform_int_distribution<std::size_t>(0, n - 1)(arguments);
            };
            mask_state state = begin_mask(mask);
            for (std::size_t a = choose(12); a > 0; --a) {
                if (choose(4) == 0) {
                    add_text(state, byte_string(choose(4) == 0 ? 1100 : choose(6), static_cast<char>(choose(256))));
                } else if (choose(2) == 0) {
                    add_number(state, specials[choose(std::size(specials))]);
                } else {
                    add_number(state, std::ldexp(static_cast<long double>(choose(1u << 30)) - (1 << 29),
                                                 static_cast<int>(choose(200)) - 130));
                }
            }
            const byte_string result = end_mask(state);
            ASSERT_LE(result.size(), mask_result_limit);
            if (pass == 0) first = result;
            else ASSERT_EQ(result, first) << "same arguments, different text";
        }
    }
}

}  // namespace
