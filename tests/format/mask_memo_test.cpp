// A formatting state kept and started again with begin_mask(state, mask)
// remembers how it read the mask. Whatever it remembers, every text must be
// the one a fresh state makes: with escapes and field characters standing
// as literal text, with more or fewer arguments than fields, with numbers
// in text fields and texts in number fields, and with masks changing.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "format/mask.h"
#include "format/masks.h"

namespace {

struct argument {
    bool is_text = false;
    long double number = 0;
    std::string text;
};

byte_string fresh_text(byte_view mask, const std::vector<argument>& arguments)
{
    mask_state state = begin_mask(mask);
    for (const argument& a : arguments) {
        if (a.is_text) {
            add_text(state, a.text);
        } else {
            add_number(state, a.number);
        }
    }
    return end_mask(state);
}

byte_string kept_text(mask_state& state, byte_view mask, const std::vector<argument>& arguments)
{
    begin_mask(state, mask);
    for (const argument& a : arguments) {
        if (a.is_text) {
            add_text(state, a.text);
        } else {
            add_digits(state, decimal_digits(a.number, full_digit_count));
        }
    }
    return byte_string(mask_text(state));
}

TEST(mask_memo, a_kept_state_makes_the_texts_a_fresh_one_makes)
{
    const std::vector<byte_view> masks = {
        row_mask,
        address_mask,
        "#_.#_.#_.#_",
        "  ###.## | & | ##.# end",
        "+###.## x-##- $$#,###.## **#.# ##^^^^ !\\  \\ trailing",
        "_#_&_! literal only ",
        ". , + * $ - lone characters #.## between",
        "",
        "#",
        "&&",
        "x.#y",
    };
    std::mt19937 random(27);
    std::uniform_int_distribution<std::size_t> pick(0, masks.size() - 1);
    std::uniform_int_distribution<int> count(0, 14);
    std::uniform_int_distribution<int> kind(0, 3);
    std::uniform_real_distribution<double> number(-200000.0, 200000.0);
    const std::vector<std::string> texts = {"", "x", "12:34:56", "a longer text than any field"};
    std::uniform_int_distribution<std::size_t> text(0, texts.size() - 1);

    mask_state state;
    for (int i = 0; i < 20000; ++i) {
        // The same mask several times running, then another, so that the
        // memo is both used and thrown away.
        const byte_view mask = masks[i % 7 == 0 ? pick(random) : (i / 7) % masks.size()];
        std::vector<argument> arguments(static_cast<std::size_t>(count(random)));
        for (argument& a : arguments) {
            a.is_text = kind(random) == 0;
            a.number = kind(random) == 0 ? static_cast<int>(number(random)) : number(random);
            a.text = texts[text(random)];
        }
        ASSERT_EQ(kept_text(state, mask, arguments), fresh_text(mask, arguments)) << "mask [" << mask << "] " << i;
    }
}

TEST(mask_memo, a_row_formatted_again_in_the_same_state_is_the_same_row)
{
    mask_state state;
    const auto row = [&state](long double counter, byte_view time) {
        begin_mask(state, row_mask);
        add_digits(state, decimal_digits(counter, full_digit_count));
        add_text(state, time);
        for (int i = 0; i < 8; ++i) add_digits(state, decimal_digits(i, full_digit_count));
        return byte_string(mask_text(state));
    };
    const byte_string first = row(123, "12:34:56");
    EXPECT_EQ(first.size(), 78U);
    EXPECT_EQ(row(123, "12:34:56"), first);
    // A wider field or a longer text moves what follows, and only that.
    EXPECT_EQ(row(1234567, "12:34:56"), " " + std::string("1234567") + first.substr(7));
    EXPECT_EQ(row(123, "12:34:56+"), first.substr(0, 17) + "+" + first.substr(17));
    EXPECT_EQ(row(123, "12:34:56"), first);
}

}  // namespace
