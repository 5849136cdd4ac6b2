// The mask formatter over random masks and random arguments: numbers of
// every bit pattern, texts of any bytes, in any order and any number. The
// mask lives in a buffer of exactly its size, so that any read past its end
// is caught.
#include <cstring>
#include <memory>

#include "format/mask.h"
#include "fuzz_input.h"

namespace {

constexpr int most_arguments = 64;

struct argument {
    bool is_text = false;
    long double number = 0;
    byte_view text;
};

argument take_argument(fuzz_input& input)
{
    argument a;
    switch (take_byte(input) & 3u) {
    case 0:
        a.is_text = true;
        a.text = take_bytes(input, take_byte(input));
        break;
    case 1: {
        float single = 0;
        take_exact(input, &single, sizeof single);
        a.number = single;
        break;
    }
    case 2:
        take_exact(input, &a.number, 10);  // every extended encoding
        break;
    default: {
        std::int32_t integer = 0;
        take_exact(input, &integer, sizeof integer);
        a.number = integer;
        break;
    }
    }
    return a;
}

byte_string format_all(byte_view mask, const argument* arguments, int count)
{
    mask_state state = begin_mask(mask);
    for (int i = 0; i < count; ++i) {
        if (arguments[i].is_text) {
            add_text(state, arguments[i].text);
        } else {
            add_number(state, arguments[i].number);
        }
        FUZZ_CHECK(state.length <= mask_result_limit);
        FUZZ_CHECK(state.position <= mask.size());
    }
    return end_mask(state);
}

// The same in a state that is kept and started again, as the receiver
// makes its table row: the state remembers how it read the mask.
byte_string format_in_kept_state(mask_state& state, byte_view mask, const argument* arguments, int count)
{
    begin_mask(state, mask);
    for (int i = 0; i < count; ++i) {
        if (arguments[i].is_text) {
            add_text(state, arguments[i].text);
        } else {
            add_digits(state, decimal_digits(arguments[i].number, full_digit_count));
        }
    }
    return byte_string(mask_text(state));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz_input input{data, size};
    const byte_view mask_bytes = take_bytes(input, take_byte(input));
    const std::unique_ptr<char[]> mask_copy(new char[mask_bytes.size()]);
    std::memcpy(mask_copy.get(), mask_bytes.data(), mask_bytes.size());
    const byte_view mask(mask_copy.get(), mask_bytes.size());

    argument arguments[most_arguments];
    int count = 0;
    while (input_left(input) && count < most_arguments) arguments[count++] = take_argument(input);

    const byte_string result = format_all(mask, arguments, count);
    FUZZ_CHECK(result.size() <= mask_result_limit);
    FUZZ_CHECK(format_all(mask, arguments, count) == result);
    const std::unique_ptr<mask_state> kept(new mask_state);
    FUZZ_CHECK(format_in_kept_state(*kept, mask, arguments, count) == result);
    FUZZ_CHECK(format_in_kept_state(*kept, mask, arguments, count) == result);

    // Every character comes from the mask, from a text argument, or is one
    // a number text can hold.
    bool allowed[256] = {};
    for (const unsigned char c : byte_view("0123456789 .,+-E*$")) allowed[c] = true;
    for (const unsigned char c : mask) allowed[c] = true;
    for (int i = 0; i < count; ++i) {
        for (const unsigned char c : arguments[i].text) allowed[c] = true;
    }
    for (const unsigned char c : result) FUZZ_CHECK(allowed[c]);
    return 0;
}
