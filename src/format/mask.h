// The mask formatter: a list of values becomes one text under the control of
// a format mask, in which runs of field characters are fields and everything
// else is copied as literal text.
//
//   mask_state state = begin_mask(row_mask);
//   add_number(state, frame.counter);
//   add_text(state, frame.time_text);
//   ...
//   byte_string row = end_mask(state);
//
// Fields of a mask:
//   #          one digit position
//   .          the decimal point, when a "#" follows it
//   ,          among the integer positions: digits grouped in threes; each
//              "," is one more integer position
//   + (first)  the sign is always shown, "+" or "-", in front of the digits
//   + (last)   trailing sign, "+" or "-"
//   - (last)   trailing sign, "-" or a space
//   ** (first) fill with "*" instead of spaces; two integer positions
//   $$ (first) a "$" in front of the digits; one integer position and the "$"
//   **$        both of the above; two integer positions and the "$"
//   ^^^ to ^^^^^^  after the digits: exponent form, "E", sign and one to four
//              exponent digits
//   &          the whole text argument
//   !          the first character of the text argument, or a space
//   \  \       a backslash, n spaces, a backslash: the text cut or padded to
//              n + 2 characters
//   _          the next mask character is literal, whatever it is
// A field character that cannot start or continue a field where it stands
// (a lone "*", "$", "," or "+", a "-" in front of a field) is literal text.
//
// The formatter reports no errors: a field too narrow for its value widens,
// a value too long for 19 digits switches to exponent form, and the result
// never grows beyond mask_result_limit characters.
#pragma once

#include <cstddef>
#include <span>

#include "core/types.h"
#include "format/number_text.h"

// Characters beyond this many are dropped, whatever produced them.
inline constexpr std::size_t mask_result_limit = 1024;

enum class field_kind { none, number, whole_text, first_character, fixed_text };

// One field as it stands in the mask. Every mask character of a numeric
// field is one position of its text, so `length` is also the width the
// field has before its value widens it.
struct mask_field {
    field_kind kind = field_kind::none;
    std::size_t length = 0;
    std::size_t integer_positions = 0;  // "#", ",", and the "**" or "$$" prefix
    std::size_t decimal_places = 0;
    bool has_point = false;
    bool plus_in_front = false;
    char trailing_sign = 0;  // '+', '-' or 0
    bool star_fill = false;
    bool currency = false;
    bool grouping = false;
    int exponent_digits = 0;  // 1 to 4 from a "^" run; 0 for none
    // A number field that shows its digits as they stand: none of the sign,
    // fill, currency, grouping or exponent options, and at most
    // plain_field_limit positions. The receiver's row has only such fields,
    // and they are laid out by a shortcut, which takes the rest of the
    // field's shape worked out once: the point and decimals' length, and
    // for a negative value the widened width and whether a value below 1
    // still shows its "0" (for a positive one, the length and whether there
    // is an integer position).
    bool plain = false;
    std::size_t fraction_length = 0;
    std::size_t negative_width = 0;
    bool negative_shows_zero = false;
};
inline constexpr std::size_t plain_field_limit = 16;

// One step through the mask from a position: a plain run of literal text
// up to `to`, then the field that starts there, or the end of the mask.
struct mask_step {
    std::size_t from = 0;
    std::size_t to = 0;
    bool field_found = false;
    // The literal text, from `from` to `to`, kept here when it is short
    // enough to be moved whole.
    bool literal_kept = false;
    char literal[16]{};
    mask_field field;
};

// The steps a state has taken through its mask, in order, so that the same
// mask read again in the same state costs no parsing. One step a field (the
// text before it, and the field) and one for the text after the last hold
// the table row's ten fields.
inline constexpr std::size_t mask_memo_steps = 16;
struct mask_memo {
    const char* mask_data = nullptr;  // the mask the steps belong to
    std::size_t mask_size = 0;
    std::size_t count = 0;  // steps kept
    std::size_t next = 0;   // the step expected next
    mask_step steps[mask_memo_steps];
};

// Where the field the next argument goes to was left when the text after
// the last field was copied: a step of the memo, or one of these.
inline constexpr std::size_t field_in_scratch = mask_memo_steps;
inline constexpr std::size_t no_field_ready = mask_memo_steps + 1;

// One formatting call's state. The mask is read, never copied or changed, so
// it must outlive the state, and must not change while the state is kept to
// format with it again; the system's masks are constants. The result is
// built in place, without touching the heap, and becomes a byte string only
// at end_mask.
struct mask_state {
    byte_view mask;
    std::size_t position = 0;  // next mask character to read
    std::size_t length = 0;    // characters of text in use
    std::size_t ready = no_field_ready;
    mask_field scratch;  // a field read but not kept in the memo
    mask_memo memo;
    char text[mask_result_limit];
};

mask_state begin_mask(byte_view mask);
mask_state begin_mask(const char* mask);
// A temporary mask would be gone before the first field is read.
mask_state begin_mask(byte_string&& mask) = delete;
// Starts again in a state kept by the caller, without copying it. With the
// mask it had before, the state reads it from its memo.
void begin_mask(mask_state& state, byte_view mask);

// Formats the value into the next field. Every integer and float kind the
// receiver uses converts exactly to long double.
void add_number(mask_state& state, long double value);

// The same for a value given by its digits, decimal_digits(value, 19): a
// caller that needs the value's digits for other texts as well makes them
// once.
void add_digits(mask_state& state, const digit_string& digits);
// The same for several values in turn, as a row's run of number fields
// takes them, in one call.
void add_digits(mask_state& state, std::span<const digit_string> values);

// Places the text into the next field.
void add_text(mask_state& state, byte_view text);

// One argument for the next field: a value by its digits, as add_digits
// takes it, or, where `digits` is null, a text, as add_text takes it.
struct mask_argument {
    const digit_string* digits = nullptr;
    byte_view text;
};
// The arguments in turn, in one call: a row of values and texts costs the
// per-call work once.
void add_arguments(mask_state& state, std::span<const mask_argument> arguments);

// The text built so far. The state is left empty.
byte_string end_mask(mask_state& state);

// The text built so far, in the state; valid until the state changes.
byte_view mask_text(const mask_state& state);
