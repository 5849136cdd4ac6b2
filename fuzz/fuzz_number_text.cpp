// decimal_digits and print_form over every bit pattern of a single and of an
// extended value. Only a copy of the bytes can make the extended encodings
// the arithmetic itself never produces (pseudo-denormals, unnormals,
// pseudo-infinities, pseudo-NaNs); whatever they are taken for, the texts
// must stay well formed.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <span>

#include "format/number_text.h"
#include "fuzz_input.h"

namespace {

struct number_case {
    long double value = 0;
    bool normal = false;  // a normal value whose digits can be checked
};

number_case take_single(fuzz_input& input)
{
    std::uint32_t bits = 0;
    take_exact(input, &bits, sizeof bits);
    float single = 0;
    std::memcpy(&single, &bits, sizeof single);
    const std::uint32_t exponent = bits >> 23 & 0xFFu;
    return number_case{single, exponent != 0 && exponent != 0xFF};
}

// Significand (with its explicit integer bit) first, then sign and
// exponent, as the x87 stores them.
number_case take_extended(fuzz_input& input)
{
    unsigned char bytes[10];
    take_exact(input, bytes, sizeof bytes);
    long double value = 0;
    std::memcpy(&value, bytes, sizeof bytes);
    const unsigned exponent = (bytes[9] & 0x7Fu) << 8 | bytes[8];
    const bool integer_bit = (bytes[7] & 0x80u) != 0;
    // Far from both ends, so that the tolerance below stays a normal value.
    return number_case{value, integer_bit && exponent >= 100 && exponent <= 0x7FFE - 100};
}

// The decimal value 0.d1...dn x 10^e the digit string stands for.
long double value_of_digits(const digit_string& d)
{
    char text[48];
    std::size_t length = 0;
    text[length++] = '0';
    text[length++] = '.';
    for (int i = 0; i < d.count; ++i) text[length++] = d.digits[i];
    text[length++] = 'E';
    int exponent = d.exponent;
    if (exponent < 0) {
        text[length++] = '-';
        exponent = -exponent;
    }
    char reversed[12];
    int count = 0;
    do {
        reversed[count++] = static_cast<char>('0' + exponent % 10);
        exponent /= 10;
    } while (exponent != 0);
    while (count > 0) text[length++] = reversed[--count];
    text[length] = '\0';
    return std::strtold(text, nullptr);
}

bool same_digits(const digit_string& a, const digit_string& b)
{
    return a.negative == b.negative && a.count == b.count && a.exponent == b.exponent &&
           std::memcmp(a.digits, b.digits, static_cast<std::size_t>(a.count)) == 0;
}

void check_digits(const number_case& number, int n)
{
    const digit_string d = decimal_digits(number.value, n);
    FUZZ_CHECK(d.count == (n < 1 ? 1 : n > 19 ? 19 : n));
    for (int i = 0; i < d.count; ++i) FUZZ_CHECK(d.digits[i] >= '0' && d.digits[i] <= '9');
    FUZZ_CHECK(d.exponent >= -5000 && d.exponent <= 5000);
    FUZZ_CHECK(same_digits(decimal_digits(number.value, n), d));
    // The shorter strings are roundings of the longest one's digits.
    FUZZ_CHECK(same_digits(shorter_digits(decimal_digits(number.value, full_digit_count), n), d));
    if (!number.normal) return;

    // The first n significant digits, correctly rounded but for the last
    // bits of the scaling: within one unit of digit n (of digit 18 for
    // n = 19, as only 18 are generated).
    FUZZ_CHECK(d.digits[0] != '0');
    FUZZ_CHECK(d.negative == std::signbit(number.value));
    const long double magnitude = std::fabs(number.value);
    const long double shown = value_of_digits(d);
    if (std::isinf(shown)) return;  // rounded up past the largest value
    const int kept = d.count < 18 ? d.count : 18;
    FUZZ_CHECK(std::fabs(shown - magnitude) <= magnitude / power_of_ten(static_cast<unsigned>(kept - 1)));
}

// A sign position, a body of number characters, one blank; the body is the
// digit string's value, laid out.
void check_print_form(const number_case& number, int precision)
{
    const byte_string text = print_form(number.value, precision);
    FUZZ_CHECK(text.size() >= 3 && text.size() <= static_cast<std::size_t>(precision) + 12);
    FUZZ_CHECK(text.front() == ' ' || text.front() == '-');
    FUZZ_CHECK(text.back() == ' ');
    const byte_string body = text.substr(1, text.size() - 2);
    FUZZ_CHECK(body.find_first_not_of("0123456789.E+-") == byte_string::npos);
    const std::size_t point = body.find('.');
    const std::size_t e = body.find('E');
    FUZZ_CHECK(point == byte_string::npos || body.find('.', point + 1) == byte_string::npos);
    if (e == byte_string::npos) {
        FUZZ_CHECK(body.find_first_of("+-") == byte_string::npos);
    } else {
        FUZZ_CHECK(e > 0 && (point == byte_string::npos || point < e));
        FUZZ_CHECK(e + 2 < body.size() && (body[e + 1] == '+' || body[e + 1] == '-'));
        FUZZ_CHECK(body.find_first_not_of("0123456789", e + 2) == byte_string::npos);
        FUZZ_CHECK(body.find_first_not_of("0123456789.") == e);
    }
    FUZZ_CHECK(print_form(number.value, precision) == text);
    char laid_out[print_form_limit];
    const std::size_t length =
        lay_out_print_form(shorter_digits(decimal_digits(number.value, full_digit_count), precision), std::span(laid_out));
    FUZZ_CHECK(byte_view(laid_out, length) == text);

    const digit_string d = decimal_digits(number.value, precision);
    FUZZ_CHECK((text.front() == '-') == d.negative);
    FUZZ_CHECK(std::strtold(body.c_str(), nullptr) == value_of_digits(d));

    // The sign bit alone changes at most the sign position.
    long double negated = number.value;
    unsigned char bytes[sizeof negated];
    std::memcpy(bytes, &negated, sizeof bytes);
    bytes[9] ^= 0x80u;
    std::memcpy(&negated, bytes, sizeof bytes);
    FUZZ_CHECK(print_form(negated, precision).substr(1) == text.substr(1));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz_input input{data, size};
    while (input_left(input)) {
        const std::uint8_t choice = take_byte(input);
        const number_case number = (choice & 1u) != 0 ? take_extended(input) : take_single(input);
        // Any digit count, the clamped ones included.
        check_digits(number, static_cast<std::int8_t>(take_byte(input)));
        check_print_form(number, (choice & 2u) != 0 ? 15 : 7);
    }
    return 0;
}
