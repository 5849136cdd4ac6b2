// A frame's texts are made by shortcuts past the general paths: singles and
// whole numbers get their digits without the general scaling, the log's
// print forms are rounded as they are laid out, plain row fields are moved
// in whole pieces, and a run of values goes to the formatter in one call.
// Each must give what the general path gives, byte for byte, for every
// value, not only the ones a tracker sends.
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
#include "format/rounded_print_form.h"

namespace {

std::string shown(const digit_string& d)
{
    return (d.negative ? "-0." : "0.") + std::string(d.digits, 19) + "e" + std::to_string(d.exponent) +
           (d.infinite ? " (infinite)" : "") + " of " + std::to_string(d.count);
}

// Where a rounding decides: specials, ties, runs of nines that carry into a
// new decade and neighbours of powers of ten at every scale a text shows;
// then random singles, extended bit patterns and whole numbers.
std::vector<long double> hard_values()
{
    std::vector<long double> values = {0.0L, -0.0L, std::numeric_limits<long double>::infinity(),
                                       -std::numeric_limits<long double>::infinity(),
                                       std::numeric_limits<long double>::quiet_NaN(),
                                       std::numeric_limits<long double>::max(),
                                       std::numeric_limits<long double>::denorm_min(),
                                       std::numeric_limits<float>::denorm_min()};
    long double scale = 1e-18L;
    for (int i = -18; i <= 20; ++i, scale *= 10) {
        long double tenth = 0.1L;
        for (int nines = 1; nines <= 18; ++nines, tenth /= 10) {
            values.insert(values.end(), {(1 - 4 * tenth / 10) * scale, -(1 - 5 * tenth / 10) * scale});
        }
        for (const long double base : {1.0L, 1.5L, 2.5L, 9.5L, 9.9999995L, 9.995L, 4.9999999L, 7.0L / 3}) {
            const long double v = base * scale;
            for (const long double n : {v, std::nextafter(v, 0.0L), std::nextafter(v, 1e30L)}) {
                values.insert(values.end(), {n, -n, static_cast<float>(n)});
            }
        }
    }
    std::mt19937_64 random(1852);
    for (int i = 0; i < 20000; ++i) {
        unsigned char bytes[sizeof(long double)] = {};
        const std::uint64_t significand = random() | (i % 2 == 0 ? 1ULL << 63 : 0);
        const auto sign_and_exponent = static_cast<std::uint16_t>(random());
        std::memcpy(bytes, &significand, 8);
        std::memcpy(bytes + 8, &sign_and_exponent, 2);
        long double extended = 0;
        std::memcpy(&extended, bytes, sizeof bytes);
        values.insert(values.end(), {extended, std::bit_cast<float>(static_cast<std::uint32_t>(random())),
                                     static_cast<long double>(static_cast<std::int32_t>(random()) >> (i % 32)),
                                     static_cast<float>(static_cast<std::int32_t>(random() % 36000001) / 1e5L - 180)});
    }
    return values;
}

TEST(shortcuts, scaling_factors_up_to_ten_to_the_27_are_exact)
{
    // The shortcut takes 10^p from a table of exact values; that is only the
    // general factor if the general factor is exact too.
    __extension__ unsigned __int128 exact = 1;
    for (unsigned p = 0; p <= 27; ++p, exact *= 10) EXPECT_EQ(power_of_ten(p), static_cast<long double>(exact)) << p;
}

TEST(shortcuts, singles_and_whole_numbers_get_the_general_digits)
{
    std::vector<float> singles;
    for (std::uint32_t field = 0; field <= 0xFF; ++field) {
        for (const std::uint32_t rest : {0u, 1u, 0x400000u, 0x7FFFFFu, 0x80000000u, 0x80123456u}) {
            singles.push_back(std::bit_cast<float>(field << 23 | rest));
        }
    }
    for (const long double v : hard_values()) singles.push_back(static_cast<float>(v));
    digit_string kept;  // written over and over, as a frame's strings are
    for (const float v : singles) {
        single_digits_into(v, kept);
        ASSERT_EQ(shown(kept), shown(decimal_digits(v, full_digit_count))) << std::bit_cast<std::uint32_t>(v);
    }
    for (const long double v : hard_values()) {
        if (!(std::fabs(v) < 2147483648.0L)) continue;
        const auto whole = static_cast<std::int32_t>(v);
        whole_number_digits_into(whole, kept);
        ASSERT_EQ(shown(kept), shown(decimal_digits(whole, full_digit_count))) << whole;
    }
}

TEST(shortcuts, eighteen_digit_integers_keep_their_own_digits)
{
    // They are their own scaled value: every digit the writer makes shows.
    std::vector<std::uint64_t> values = {100000000000000000u, 999999999999999999u, 100000000999999999u,
                                         999999999000000000u, 199999999099999999u};
    std::mt19937_64 random(18);
    for (int i = 0; i < 50000; ++i) values.push_back(100000000000000000u + random() % 900000000000000000u);
    for (const std::uint64_t v : values) {
        EXPECT_EQ(std::string(decimal_digits(static_cast<long double>(v), full_digit_count).digits, 19),
                  std::to_string(v) + "0");
    }
}

TEST(shortcuts, rounded_print_forms_are_the_general_layout_of_the_rounded_strings)
{
    std::vector<digit_string> strings;
    for (const long double v : hard_values()) strings.push_back(decimal_digits(v, full_digit_count));
    strings.push_back(decimal_digits(2.5L, 3));  // a short string
    strings.push_back(decimal_digits(0, full_digit_count));
    strings.back().negative = true;
    for (const digit_string& d : strings) {
        for (int n = 0; n <= full_digit_count + 1; ++n) {
            char fused[rounded_print_form_room];
            char general[print_form_limit];
            const std::size_t length = lay_out_rounded_print_form(d, n, std::span(fused));
            const std::size_t general_length = lay_out_print_form(shorter_digits(d, n), std::span(general));
            ASSERT_EQ(std::string(fused, length), std::string(general, general_length)) << shown(d) << " N " << n;
        }
    }
}

TEST(shortcuts, plain_fields_are_laid_out_as_the_general_rules_do)
{
    std::vector<digit_string> strings;
    for (const long double v : hard_values()) strings.push_back(decimal_digits(v, full_digit_count));
    strings.push_back(decimal_digits(0, full_digit_count));
    strings.back().negative = true;
    static mask_state shortcut;
    static mask_state general;
    int taken = 0;
    for (const byte_view mask : {"#", "##", "#####", ".#", ".##", "#.#", "#.##", "###.##", "###.######",
                                 ".###############", "################", "#######.########"}) {
        mask_field field;
        ASSERT_TRUE(read_mask_field(mask, 0, field) && field.plain) << mask;
        // The last few starts leave too little room for the shortcut.
        for (const std::size_t before : {std::size_t{17}, mask_result_limit - 120, mask_result_limit - 100}) {
            for (const digit_string& d : strings) {
                for (mask_state* state : {&shortcut, &general}) {
                    begin_mask(*state, "");
                    std::memset(state->text, 'p', sizeof state->text);
                    state->length = before;
                }
                if (!lay_out_plain_number_field(shortcut, field, d)) {
                    ASSERT_EQ(shortcut.length, before);
                    continue;
                }
                ++taken;
                lay_out_number_field(general, field, d);
                ASSERT_EQ(std::string(mask_text(shortcut)), std::string(mask_text(general))) << mask << " " << shown(d);
            }
        }
    }
    // The shortcut must carry the fields it was made for, not pass them on.
    EXPECT_GT(taken, static_cast<int>(strings.size()) * 12);
    for (const byte_view mask : {"+##.#", "##.#-", "##.#+", "**#.#", "$$#.#", "#,###.#", "##.#^^^^", "&",
                                 "#################"}) {
        mask_field field;
        ASSERT_TRUE(read_mask_field(mask, 0, field));
        EXPECT_FALSE(field.plain) << mask;
    }
}

TEST(shortcuts, a_run_of_values_makes_the_text_of_the_values_one_at_a_time)
{
    const byte_view masks[] = {row_mask, address_mask, "##.# x", "#", "&", "no fields", "", "#.## & ##, +#.#- !",
                               "_#_& literal ## then"};
    std::mt19937 random(8);
    std::uniform_real_distribution<double> number(-2000.0, 2000.0);
    mask_state kept_one;
    mask_state kept_run;
    for (int i = 0; i < 4000; ++i) {
        const byte_view mask = masks[static_cast<std::size_t>(i) % std::size(masks)];
        std::vector<digit_string> values(random() % 13);
        for (digit_string& d : values) d = decimal_digits(number(random), full_digit_count);
        const std::size_t before = random() % 3;
        const auto text_of = [&](mask_state& state, bool as_run) {
            begin_mask(state, mask);
            for (std::size_t t = 0; t < before; ++t) add_text(state, "t");
            if (as_run) add_digits(state, values);
            for (std::size_t v = 0; !as_run && v < values.size(); ++v) add_digits(state, values[v]);
            // Half the time a value follows the run, to the field it left ready.
            if (i % 2 == 0) add_digits(state, decimal_digits(i, full_digit_count));
            return std::string(mask_text(state));
        };
        mask_state fresh;
        const std::string expected = text_of(fresh, false);
        ASSERT_EQ(text_of(kept_one, false), expected) << i;
        ASSERT_EQ(text_of(kept_run, true), expected) << "mask [" << mask << "] " << i;
    }
}

TEST(shortcuts, a_run_falls_back_where_a_field_its_text_or_the_room_stops_it)
{
    // A state's first pass through a mask reads every field afresh and takes
    // the general path; a kept state takes the run from its memo. The run
    // must give way, mid-row, to a field that is not plain, a value too long
    // for 15 digits, literal text too long to keep, the end of the mask and
    // a result that reaches its limit.
    std::vector<digit_string> strings;
    for (const long double v : hard_values()) strings.push_back(decimal_digits(v, full_digit_count));
    // Values that fill a wide field to its 15 digits: they take the most
    // room a run can meet.
    for (int k = 0; k < 4000; ++k) {
        const long double v = k % 2 == 0 ? 123456789012345.0L + k : -98765432.1234567L * k;
        strings.push_back(decimal_digits(v, full_digit_count));
    }
    const byte_view masks[] = {row_mask,
                               "##.## and a literal longer than sixteen ###.######",
                               "#.# +##.# ###############.# ##",
                               "################ ##.##########_#",
                               ".##",
                               "& #######.###### ##.## ################ #.# ####"};
    std::mt19937 random(64);
    static mask_state kept;  // where the sanitizers see a write past its end
    for (int i = 0; i < 6000; ++i) {
        const byte_view mask = masks[static_cast<std::size_t>(i) % std::size(masks)];
        // A long text first leaves the run short of room at any point.
        const std::string text(mask[0] == '&' ? 800 + random() % 230 : 0, 't');
        std::vector<digit_string> values(random() % (i % 7 == 0 ? 90 : 12));
        for (digit_string& d : values) d = strings[random() % strings.size()];
        const auto text_of = [&](mask_state& state) {
            begin_mask(state, mask);
            if (!text.empty()) add_text(state, text);
            add_digits(state, values);
            return std::string(mask_text(state));
        };
        mask_state fresh;
        const std::string expected = text_of(fresh);
        text_of(kept);  // the first pass fills its memo
        ASSERT_EQ(text_of(kept), expected) << "mask [" << mask << "] " << i;
    }
}

TEST(shortcuts, values_and_texts_in_one_call_make_the_text_of_one_call_each)
{
    // Texts of every length around the 16 bytes moved whole, into every
    // kind of field a text or a value can meet.
    const byte_view masks[] = {row_mask, "& ##.## !", "\\  \\ #.# & ##", "##&##&", "_& & literal # &", "&"};
    const std::string texts[] = {"", "x", "12:34:56", "fifteen bytes..", "sixteen bytes...", "seventeen bytes..",
                                 std::string(40, 'w')};
    std::mt19937 random(10);
    std::uniform_real_distribution<double> number(-99999.0, 99999.0);
    static mask_state kept;
    for (int i = 0; i < 6000; ++i) {
        const byte_view mask = masks[static_cast<std::size_t>(i) % std::size(masks)];
        std::vector<digit_string> values(random() % 14);
        std::vector<mask_argument> arguments;
        for (digit_string& d : values) {
            d = decimal_digits(number(random), full_digit_count);
            arguments.push_back({&d, {}});
            if (random() % 3 == 0) arguments.push_back({nullptr, texts[random() % std::size(texts)]});
        }
        const auto one_call_each = [&](mask_state& state) {
            begin_mask(state, mask);
            for (const mask_argument& a : arguments) {
                if (a.digits != nullptr) add_digits(state, *a.digits);
                if (a.digits == nullptr) add_text(state, a.text);
            }
            return std::string(mask_text(state));
        };
        const auto one_call = [&](mask_state& state) {
            begin_mask(state, mask);
            add_arguments(state, arguments);
            return std::string(mask_text(state));
        };
        mask_state fresh;
        const std::string expected = one_call_each(fresh);
        one_call(kept);  // the first pass fills its memo
        ASSERT_EQ(one_call(kept), expected) << "mask [" << mask << "] " << i;
    }
}

}  // namespace
