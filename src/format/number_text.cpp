#include "format/number_text.h"

#include <cmath>

#include "format/rounded_print_form.h"

namespace {

// Lays a text out left to right in a buffer known to be large enough.
struct text_cursor {
    char* at;
};

void put(text_cursor& out, char c)
{
    *out.at++ = c;
}

void put(text_cursor& out, const char* bytes, int count)
{
    for (int i = 0; i < count; ++i) *out.at++ = bytes[i];
}

void put_run(text_cursor& out, char c, int count)
{
    for (int i = 0; i < count; ++i) *out.at++ = c;
}

void put_unsigned(text_cursor& out, unsigned value)
{
    char buffer[10];
    int length = 0;
    do {
        buffer[length++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (length > 0) put(out, buffer[--length]);
}

// d1[.d2...ds]E+x: the mantissa keeps only its significant digits.
void put_exponent_form(text_cursor& out, const digit_string& d, int significant)
{
    put(out, d.digits[0]);
    if (significant > 1) {
        put(out, '.');
        put(out, d.digits + 1, significant - 1);
    }
    put(out, 'E');
    const int shown = d.exponent - 1;
    put(out, shown >= 0 ? '+' : '-');
    put_unsigned(out, static_cast<unsigned>(shown >= 0 ? shown : -shown));
}

}  // namespace

std::size_t lay_out_print_form(const digit_string& d, std::span<char, print_form_limit> text)
{
    const int n = d.count;
    int s = n;
    while (s > 0 && d.digits[s - 1] == '0') --s;
    const int e = d.exponent;

    text_cursor out{text.data()};
    put(out, d.negative ? '-' : ' ');
    if (s == 0) {
        put(out, '0');
    } else if (e >= s) {
        if (e <= n) {
            put(out, d.digits, s);
            put_run(out, '0', e - s);
        } else {
            put_exponent_form(out, d, s);
        }
    } else if (s - e > n) {
        put_exponent_form(out, d, s);
    } else if (e <= 0) {
        put(out, '.');
        put_run(out, '0', -e);
        put(out, d.digits, s);
    } else {
        put(out, d.digits, e);
        put(out, '.');
        put(out, d.digits + e, s - e);
    }
    put(out, ' ');
    return static_cast<std::size_t>(out.at - text.data());
}

std::size_t lay_out_rounded_apart(const digit_string& full, int n, std::span<char, rounded_print_form_room> text)
{
    return lay_out_print_form(shorter_digits(full, n), text.first<print_form_limit>());
}

byte_string print_form(long double value, int precision)
{
    char text[print_form_limit];
    const std::size_t length = lay_out_print_form(decimal_digits(value, precision), std::span(text));
    return {text, length};
}

byte_string number_text(long double value)
{
    byte_string text = print_form(value, 15);
    text.pop_back();
    if (text.front() == ' ') text.erase(0, 1);
    return text;
}

byte_string signed_number_text(long double value)
{
    byte_string text = print_form(value, 15);
    text.pop_back();
    return text;
}

byte_string left_trim(byte_view text)
{
    std::size_t start = 0;
    while (start < text.size() && text[start] == ' ') ++start;
    return byte_string(text.substr(start));
}

long double round_to_places(long double value, int places)
{
    const unsigned n = static_cast<unsigned>(places) >= 18u ? 18u : static_cast<unsigned>(places);
    const long double factor = power_of_ten(n);
    const long double scaled = value * factor;
    // rint, not nearbyint: the same rounding without saving the
    // floating-point environment for a flag that is masked and never read.
    const long double integer = std::rint(scaled);
    return integer / factor;
}

namespace {
int hex_digit_value(unsigned char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}
}  // namespace

int hex_pair_value(byte_view text)
{
    // Only pairs reach this; a longer text is read by its first two
    // characters, which keeps the result within a byte.
    int value = 0;
    for (std::size_t i = 0; i < text.size() && i < 2; ++i) {
        const int digit = hex_digit_value(static_cast<unsigned char>(text[i]));
        if (digit < 0) break;
        value = value * 16 + digit;
    }
    return value;
}

int first_char_code(byte_view text)
{
    return text.empty() ? -1 : static_cast<unsigned char>(text[0]);
}

long double power(long double base, long double exponent)
{
    if (exponent == std::rint(exponent) && std::fabs(exponent) < 65536.0L) {
        const long magnitude = std::lround(std::fabs(exponent));
        long double result = 1.0L;
        long double square = base;
        for (long bits = magnitude; bits != 0; bits >>= 1) {
            if (bits & 1) result *= square;
            square *= square;
        }
        return exponent < 0 ? 1.0L / result : result;
    }
    return std::exp2(exponent * std::log2(base));
}
