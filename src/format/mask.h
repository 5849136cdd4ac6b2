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

#include "core/types.h"

// Characters beyond this many are dropped, whatever produced them.
inline constexpr std::size_t mask_result_limit = 1024;

// One formatting call's state. The mask is read, never copied or changed, so
// it must outlive the state; the system's masks are constants. The result is
// built in place, without touching the heap, and becomes a byte string only
// at end_mask.
struct mask_state {
    byte_view mask;
    std::size_t position = 0;  // next mask character to read
    std::size_t length = 0;    // characters of text in use
    char text[mask_result_limit];
};

mask_state begin_mask(byte_view mask);
mask_state begin_mask(const char* mask);
// A temporary mask would be gone before the first field is read.
mask_state begin_mask(byte_string&& mask) = delete;

// Formats the value into the next field. Every integer and float kind the
// receiver uses converts exactly to long double.
void add_number(mask_state& state, long double value);

// Places the text into the next field.
void add_text(mask_state& state, byte_view text);

// The text built so far. The state is left empty.
byte_string end_mask(mask_state& state);
