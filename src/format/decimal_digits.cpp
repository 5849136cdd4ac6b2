#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "format/number_text.h"

namespace {

constexpr long double small_powers[8] = {1e0L, 1e1L, 1e2L, 1e3L, 1e4L, 1e5L, 1e6L, 1e7L};

// 10^8, 10^16, ..., 10^4096, each the nearest extended value.
constexpr long double large_powers[10] = {1e8L,   1e16L,  1e32L,   1e64L,   1e128L,
                                          1e256L, 1e512L, 1e1024L, 1e2048L, 1e4096L};

// 10^0 to 10^27 are exact in extended precision (5^27 needs 63 bits), so
// power_of_ten gives them exactly whatever order it multiplies in: the
// scaling of every value from about 10^-10 to 10^18 takes its factor from
// here with one load.
constexpr unsigned exact_power_count = 28;
constexpr long double exact_powers[exact_power_count] = {
    1e0L,  1e1L,  1e2L,  1e3L,  1e4L,  1e5L,  1e6L,  1e7L,  1e8L,  1e9L,  1e10L, 1e11L, 1e12L, 1e13L,
    1e14L, 1e15L, 1e16L, 1e17L, 1e18L, 1e19L, 1e20L, 1e21L, 1e22L, 1e23L, 1e24L, 1e25L, 1e26L, 1e27L};

constexpr long double ten_to_17 = 1e17L;
constexpr long double ten_to_18 = 1e18L;

// The largest p for which 10^p is still a finite extended value.
constexpr unsigned largest_finite_power = 4932;

// Every digit of a full string, as zeros or nines stand for a value that
// has no digits of its own.
void fill(digit_string& d, char c)
{
    std::memset(d.digits, c, full_digit_count);
}

// floor(b * 19728 / 65536), rounded towards minus infinity: since C++20 a
// right shift of a negative number is arithmetic, which rounds down.
int estimate_decimal_exponent(int b)
{
    return (b * 19728) >> 16;
}

// b with 2^b <= magnitude < 2^(b+1). A normal extended value (integer bit
// set, exponent field neither 0 nor all ones) carries it in its exponent
// field; frexp, a library call, is left the rest.
int binary_exponent(long double magnitude)
{
    unsigned char bytes[10];
    std::memcpy(bytes, &magnitude, sizeof bytes);  // significand, then sign and exponent
    const unsigned field = (static_cast<unsigned>(bytes[9] & 0x7Fu) << 8) | bytes[8];
    if (field != 0 && field != 0x7FFFu && (bytes[7] & 0x80u) != 0) {
        return static_cast<int>(field) - 16383;
    }
    int frexp_exponent = 0;
    std::frexp(magnitude, &frexp_exponent);  // magnitude = m * 2^e, 0.5 <= m < 1
    return frexp_exponent - 1;
}

// "00" to "99": two digits at a time halve the multiplications.
constexpr std::array<char, 200> digit_pairs = [] {
    std::array<char, 200> pairs{};
    for (std::size_t i = 0; i < 100; ++i) {
        pairs[2 * i] = static_cast<char>('0' + i / 10);
        pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
    return pairs;
}();

// x86-64 multiplies two 64-bit numbers into 128 bits in one instruction.
__extension__ using wide_unsigned = unsigned __int128;

// The 9 decimal digits of a value below 10^9, leading zeros included, with
// no division: the value is read as value / 10^8 in binary with 64 bits
// after the point, and each multiplication of the fraction by 100 brings
// the next two digits before the point, into the product's high word. The
// factor, 2^64 / 10^8 rounded up, is too large by less than 1; times the
// largest value that stays below 2^64 / 10^16 even after the four
// multiplications, so no digit ever reaches the next one.
void write_9_digits(std::uint32_t value, char* digits)
{
    wide_unsigned scaled = wide_unsigned{value} * 184467440738u;
    digits[0] = static_cast<char>('0' + static_cast<unsigned>(scaled >> 64));
    for (int i = 1; i < 9; i += 2) {
        scaled = wide_unsigned{static_cast<std::uint64_t>(scaled)} * 100u;
        std::memcpy(digits + i, &digit_pairs[2 * static_cast<std::size_t>(scaled >> 64)], 2);
    }
}

// The 18 decimal digits of a value below 10^18, leading zeros included.
void write_18_digits(std::uint64_t value, char* digits)
{
    const std::uint64_t high = value / 1000000000u;
    write_9_digits(static_cast<std::uint32_t>(high), digits);
    write_9_digits(static_cast<std::uint32_t>(value - high * 1000000000u), digits + 9);
}

// An extended value's bits: the significand with its integer bit, then the
// sign and the biased exponent. The padding is single bytes, which may take
// the indeterminate padding of a long double, and no array, which would
// give every function that reads these bits a stack guard.
struct extended_bits {
    std::uint64_t significand;
    std::uint16_t sign_and_exponent;
    unsigned char padding_0;
    unsigned char padding_1;
    unsigned char padding_2;
    unsigned char padding_3;
    unsigned char padding_4;
    unsigned char padding_5;
};
static_assert(sizeof(extended_bits) == sizeof(long double));

// A whole value from 1 to below 2^63 as an integer, read from its bits: the
// conversion would set the rounding mode to truncation and back.
std::uint64_t integer_below_2_to_63(long double whole)
{
    const auto bits = std::bit_cast<extended_bits>(whole);
    return bits.significand >> (16383 + 63 - bits.sign_and_exponent);
}

// Rounds the first d.count digits on `next`, the digit after them, alone:
// above 5 up, exactly 5 up only to make the last digit even. A carry out of
// the first digit leaves "1" and zeros, one decade higher.
void round_on_next_digit(digit_string& d, char next)
{
    const bool last_odd = ((d.digits[d.count - 1] - '0') & 1) != 0;
    if (next > '5' || (next == '5' && last_odd)) {
        int i = d.count - 1;
        while (i >= 0 && d.digits[i] == '9') d.digits[i--] = '0';
        if (i >= 0) {
            d.digits[i] = static_cast<char>(d.digits[i] + 1);
        } else {
            d.digits[0] = '1';
            d.exponent += 1;
        }
    }
}

}  // namespace

long double power_of_ten(unsigned p)
{
    long double factor = small_powers[p & 7u];
    unsigned rest = p >> 3;
    for (int i = 0; rest != 0 && i < 10; ++i, rest >>= 1) {
        if (rest & 1u) factor *= large_powers[i];
    }
    return factor;
}

void decimal_digits_into(long double value, digit_string& d)
{
    d.count = full_digit_count;
    d.infinite = false;
    if (value == 0.0L || std::isnan(value)) {
        fill(d, '0');
        d.negative = false;
        d.exponent = 1;
        return;
    }
    if (std::isinf(value)) {
        fill(d, '9');
        d.exponent = 999;
        d.negative = value < 0;
        d.infinite = true;
        return;
    }

    d.negative = std::signbit(value);
    const long double magnitude = std::fabs(value);
    const int b = binary_exponent(magnitude);
    int k = estimate_decimal_exponent(b);

    const int p = 17 - k;
    long double y;
    if (static_cast<unsigned>(p) < exact_power_count) {
        y = magnitude * exact_powers[p];
    } else if (p >= 0) {
        const unsigned up = static_cast<unsigned>(p);
        if (up > largest_finite_power) {
            // Values this small would need a factor beyond the extended
            // range; scale in two steps instead.
            y = magnitude * power_of_ten(up - 4096) * large_powers[9];
        } else {
            y = magnitude * power_of_ten(up);
        }
    } else {
        y = magnitude / power_of_ten(static_cast<unsigned>(-p));
    }
    // rint rather than nearbyint: both round by the mode in force, but
    // nearbyint saves and restores the whole floating-point environment to
    // keep the inexact flag clear, which costs more than everything else
    // here; every exception is masked and no one reads the flags.
    y = std::rint(y);
    if (y >= ten_to_18) {
        y = std::rint(y / 10.0L);
        k += 1;
    }
    // For exponents far beyond anything the receiver meets the estimate can
    // come out one too high; keep the 18-digit design all the same.
    for (int guard = 0; y < ten_to_17 && guard < 2; ++guard) {
        y = std::rint(y * 10.0L);
        k -= 1;
    }
    if (!(y < ten_to_18)) y = ten_to_18 - 1.0L;
    if (!(y >= ten_to_17)) y = ten_to_17;
    d.exponent = k + 1;

    // 18 digits of y and a guard zero.
    write_18_digits(integer_below_2_to_63(y), d.digits);
    d.digits[18] = '0';
}

void single_digits_into(float value, digit_string& d)
{
    // A normal single whose scaling factor is exact: the same steps as for
    // any value, with its exponent read from its own bits rather than the
    // extended value's. Then the first estimate of the decimal exponent is
    // right, so the product is at least 10^17 and below 2 * 10^18, and one
    // division by ten at most brings it below 10^18.
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
    const std::uint32_t field = (bits >> 23) & 0xFFu;
    const int k = estimate_decimal_exponent(static_cast<int>(field) - 127);
    const auto p = static_cast<unsigned>(17 - k);
    if (field == 0 || field == 0xFFu || p >= exact_power_count) {
        decimal_digits_into(static_cast<long double>(value), d);
        return;
    }
    long double y = std::rint(std::fabs(static_cast<long double>(value)) * exact_powers[p]);
    int exponent = k + 1;
    if (y >= ten_to_18) {
        y = std::rint(y / 10.0L);
        exponent += 1;
    }
    write_18_digits(integer_below_2_to_63(y), d.digits);
    d.digits[18] = '0';
    d.count = full_digit_count;
    d.negative = (bits >> 31) != 0;
    d.exponent = exponent;
    d.infinite = false;
}

void whole_number_digits_into(std::int32_t value, digit_string& d)
{
    const std::uint32_t magnitude =
        value < 0 ? 0u - static_cast<std::uint32_t>(value) : static_cast<std::uint32_t>(value);
    if (magnitude == 0 || magnitude >= 1000000000u) {
        decimal_digits_into(value, d);
        return;
    }
    // Its scaled value is the number itself times an exact power of ten, so
    // the digits are the number's own followed by zeros: the number moved up
    // to nine digits gives them with no leading zero.
    static constexpr std::uint32_t powers[10] = {1,      10,      100,      1000,      10000,
                                                 100000, 1000000, 10000000, 100000000, 1000000000};
    int length = static_cast<int>(std::bit_width(magnitude) * 1233 >> 12);  // log10(2) is 1233 / 4096, nearly
    if (magnitude >= powers[length]) ++length;
    if (length <= 4) {
        // Four digits are two pairs.
        const std::size_t four = std::size_t{magnitude} * powers[4 - length];
        const std::size_t high = four / 100;
        std::memcpy(d.digits, &digit_pairs[2 * high], 2);
        std::memcpy(d.digits + 2, &digit_pairs[2 * (four - 100 * high)], 2);
        std::memset(d.digits + 4, '0', full_digit_count - 4);
    } else {
        write_9_digits(magnitude * powers[9 - length], d.digits);
        std::memset(d.digits + 9, '0', full_digit_count - 9);
    }
    d.count = full_digit_count;
    d.negative = value < 0;
    d.exponent = length;
    d.infinite = false;
}

digit_string decimal_digits(long double value, int n)
{
    // The first n of the full digits, rounded on the next one.
    digit_string d;
    decimal_digits_into(value, d);
    return shorter_digits(d, n);
}

digit_string shorter_digits(const digit_string& full, int n)
{
    digit_string d = full;
    d.count = n < 1 ? 1 : (n > full.count ? full.count : n);
    // Zero and not-a-number are zeros at any length, and an infinity is
    // nines at any length: neither is rounded.
    if (d.count < full.count && !full.infinite) round_on_next_digit(d, full.digits[d.count]);
    return d;
}
