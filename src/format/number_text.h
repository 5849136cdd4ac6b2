// Numbers to text and the few text-to-number and rounding rules the decoder
// needs. No locale takes part: the point is always ".", there is no digit
// grouping and the exponent letter is always "E". All arithmetic is in
// 80-bit extended precision.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/types.h"

// The decimal digits of a value: +-0.d1d2...dN x 10^exponent.
// For a non-zero value d1 is never '0'.
struct digit_string {
    bool negative = false;
    int count = 0;      // N, 1 to 19
    char digits[20]{};  // ASCII '0'-'9'; the first `count` are meaningful
    int exponent = 1;
    bool infinite = false;  // nines by rule, not digits of the value
};

// The digit count that holds every digit the conversion makes: 18 and a
// zero. From these digits every shorter string can be had (shorter_digits).
inline constexpr int full_digit_count = 19;

// 10^p for 0 <= p, built from the binary digits of p with every partial
// product rounded to the working precision. Texts depend on its last bit.
long double power_of_ten(unsigned p);

// The value's first n significant digits (n is clamped to 1..19), rounded
// on digit n+1 alone with ties to even.
digit_string decimal_digits(long double value, int n);

// decimal_digits(value, 19) written into `d`, every member of it: a frame's
// strings are made where they are kept, with no copy of a whole string.
void decimal_digits_into(long double value, digit_string& d);
// The same for a single: the frame's fractional numbers are singles.
void single_digits_into(float value, digit_string& d);

// The same for a whole number, with no floating-point scaling where its
// magnitude is below 10^9: most of a frame's numbers are whole (counter,
// altitude, satellites, temperature).
void whole_number_digits_into(std::int32_t value, digit_string& d);

// decimal_digits(value, n) made from decimal_digits(value, 19), which is
// given: both come from the same 18-digit integer, and the shorter string
// keeps its first n digits rounded on digit n + 1 alone, which the longer
// one holds unrounded. So a value's digits are generated once and every
// text of it is laid out from them. n is clamped to 1..19.
digit_string shorter_digits(const digit_string& full, int n);

// Sign position, body, one trailing space: " 123 ", "-5 ", " .5 ", " 1E+7 ".
// precision is the count of significant digits, 7 or 15.
byte_string print_form(long double value, int precision);

// The print form of a digit string, into `text`; returns its length. The
// longest, an exponent form of 19 digits, takes 28 characters.
inline constexpr std::size_t print_form_limit = 32;
std::size_t lay_out_print_form(const digit_string& digits, std::span<char, print_form_limit> text);

// print_form at 15 digits without the trailing space and without a leading
// space: "3000", "-7".
byte_string number_text(long double value);

// print_form at 15 digits without the trailing space: " 5", "-7".
byte_string signed_number_text(long double value);

// The text without its leading spaces (code 32 only; tabs stay).
byte_string left_trim(byte_view text);

// v rounded to n decimal places, ties to even; n of 18 or more, and any
// negative n, count as 18. Infinities and NaN pass through.
long double round_to_places(long double value, int places);

// The value of up to two leading hexadecimal digits: "4F" 79, "1G" 1,
// "G1" 0. Never fails.
int hex_pair_value(byte_view text);

// The code of the first byte (0-255), or -1 for an empty text.
int first_char_code(byte_view text);

// x^y; exact for integer powers of two. Integer y of magnitude below 65536
// uses repeated squaring at the working precision.
long double power(long double base, long double exponent);
