// The log line's print forms, rounded from a frame's 19-digit strings as
// they are laid out.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

#include "format/number_text.h"
#include "format/small_copy.h"

// lay_out_print_form(shorter_digits(full, n), text), with the rounding done
// while the text is laid out and no copy of a digit string: the log line's
// way. Pieces of the text are moved whole, so the buffer has room past the
// longest text.
inline constexpr std::size_t rounded_print_form_room = 48;

// What the fused layout leaves to the general one: infinities, lengths
// beyond 16 digits and the exponent form.
std::size_t lay_out_rounded_apart(const digit_string& full, int n, std::span<char, rounded_print_form_room> text);

// Inline, so that the log line's fixed lengths are folded in and no call is
// made for the nine print forms of a line.
inline std::size_t lay_out_rounded_print_form(const digit_string& full, int n,
                                              std::span<char, rounded_print_form_room> text)
{
    // Sixteen digits at most are moved at once; nines by rule are never
    // rounded, and the exponent form is rare enough to be laid out apart.
    if (full.infinite || n < 1 || n > 16 || n >= full.count) return lay_out_rounded_apart(full, n, text);
    char* const out = text.data();
    out[0] = full.negative ? '-' : ' ';
    // The kept digits land where a whole number's go, zeros after them, and
    // are rounded there on the next digit alone, ties to even. A carry stops
    // at the sign in front, which is never a '9'.
    char* const kept = out + 1;
    copy_16(kept, full.digits);
    fill_16(kept + n, '0');
    int e = full.exponent;
    const char next = full.digits[n];
    if (next > '5' || (next == '5' && (full.digits[n - 1] & 1) != 0)) {
        int i = n - 1;
        while (kept[i] == '9') kept[i--] = '0';
        if (i >= 0) {
            ++kept[i];
        } else {
            kept[0] = '1';
            e += 1;
        }
    }
    // The significant digits end at the last byte that is not '0'.
    const bytes_16 digits = load_16(kept);
    constexpr std::uint64_t zeros = 0x3030303030303030u;
    const int s = static_cast<int>(n > 8 && digits.high != zeros ? 8 + (std::bit_width(digits.high ^ zeros) + 7) / 8
                                                                 : (std::bit_width(digits.low ^ zeros) + 7) / 8);

    std::size_t length;
    if (s == 0) {
        kept[0] = '0';
        length = 2;
    } else if (e >= s && e <= n) {
        length = 1 + static_cast<std::size_t>(e);
    } else if (e >= s || s - e > n) {
        return lay_out_rounded_apart(full, n, text);
    } else if (e <= 0) {
        // ".", the zeros after the point, then the digits.
        const auto zeros_after_point = static_cast<std::size_t>(-e);
        kept[0] = '.';
        fill_16(kept + 1, '0');
        store_16(kept + 1 + zeros_after_point, digits);
        length = 2 + zeros_after_point + static_cast<std::size_t>(s);
    } else {
        // The digits after the point move up by one for it.
        const auto whole = static_cast<std::size_t>(e);
        const bytes_16 fraction = load_16(kept + whole);
        kept[whole] = '.';
        store_16(kept + whole + 1, fraction);
        length = 2 + static_cast<std::size_t>(s);
    }
    out[length] = ' ';
    return length + 1;
}
