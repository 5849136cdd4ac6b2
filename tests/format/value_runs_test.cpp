// A run of values handed to the formatter in one call must make the text
// the same values make one call at a time: across the end of the mask and
// back to its first field, with more values than fields, with fields of
// every kind, in a fresh state and in one kept from an earlier text.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "format/mask.h"
#include "format/masks.h"

namespace {

byte_string one_at_a_time(mask_state& state, byte_view mask, const std::vector<digit_string>& values,
                          std::size_t before, std::size_t after)
{
    begin_mask(state, mask);
    for (std::size_t i = 0; i < before; ++i) add_text(state, "t");
    for (const digit_string& d : values) add_digits(state, d);
    for (std::size_t i = 0; i < after; ++i) add_digits(state, values.empty() ? digit_string{} : values.front());
    return byte_string(mask_text(state));
}

byte_string as_a_run(mask_state& state, byte_view mask, const std::vector<digit_string>& values,
                     std::size_t before, std::size_t after)
{
    begin_mask(state, mask);
    for (std::size_t i = 0; i < before; ++i) add_text(state, "t");
    add_digits(state, values);
    for (std::size_t i = 0; i < after; ++i) add_digits(state, values.empty() ? digit_string{} : values.front());
    return byte_string(mask_text(state));
}

TEST(value_runs, make_the_text_the_values_make_one_at_a_time)
{
    const std::vector<byte_view> masks = {
        row_mask, address_mask, "##.# x", "#", "&", "no fields at all", "", "#.## & ##, +#.#- !",
        "$$#,###.## **#.# ##^^^^ \\  \\ end", "_#_& literal ## then"};
    std::mt19937 random(8);
    std::uniform_int_distribution<std::size_t> length(0, 12);
    std::uniform_int_distribution<std::size_t> extra(0, 2);
    std::uniform_real_distribution<double> number(-2000.0, 2000.0);
    mask_state kept_one;
    mask_state kept_run;
    for (int i = 0; i < 4000; ++i) {
        const byte_view mask = masks[static_cast<std::size_t>(i) % masks.size()];
        std::vector<digit_string> values(length(random));
        for (digit_string& d : values) d = decimal_digits(number(random), full_digit_count);
        const std::size_t before = extra(random);
        const std::size_t after = extra(random);
        mask_state fresh_one;
        mask_state fresh_run;
        const byte_string expected = one_at_a_time(fresh_one, mask, values, before, after);
        ASSERT_EQ(as_a_run(fresh_run, mask, values, before, after), expected) << "mask [" << mask << "] " << i;
        ASSERT_EQ(one_at_a_time(kept_one, mask, values, before, after), expected) << i;
        ASSERT_EQ(as_a_run(kept_run, mask, values, before, after), expected) << "mask [" << mask << "] " << i;
    }
}

}  // namespace
