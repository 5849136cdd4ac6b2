#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "format/number_text.h"

namespace {

constexpr long double small_powers[8] = {1e0L, 1e1L, 1e2L, 1e3L, 1e4L, 1e5L, 1e6L, 1e7L};

// 10^8, 10^16, ..., 10^4096, each the nearest extended value.
constexpr long double large_powers[10] = {1e8L,   1e16L,  1e32L,   1e64L,   1e128L,
                                          1e256L, 1e512L, 1e1024L, 1e2048L, 1e4096L};

constexpr long double ten_to_17 = 1e17L;
constexpr long double ten_to_18 = 1e18L;

// The largest p for which 10^p is still a finite extended value.
constexpr unsigned largest_finite_power = 4932;

void fill(digit_string& d, char c)
{
    for (int i = 0; i < d.count; ++i) d.digits[i] = c;
}

// floor(b * 19728 / 65536) with the floor towards minus infinity; the
// arithmetic shift of a negative product rounds down, which we spell out so
// the result does not depend on how the compiler shifts negative numbers.
int estimate_decimal_exponent(int b)
{
    const std::int32_t product = b * 19728;
    return product >= 0 ? product / 65536 : -((-product + 65535) / 65536);
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

// "00" to "99": two digits at a time halve the divisions.
constexpr std::array<char, 200> digit_pairs = [] {
    std::array<char, 200> pairs{};
    for (std::size_t i = 0; i < 100; ++i) {
        pairs[2 * i] = static_cast<char>('0' + i / 10);
        pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
    return pairs;
}();

// The 9 decimal digits of a value below 10^9, leading zeros included.
void write_9_digits(std::uint32_t value, char* digits)
{
    for (int i = 7; i >= 1; i -= 2) {
        const auto pair = static_cast<std::size_t>(value % 100);
        value /= 100;
        digits[i] = digit_pairs[2 * pair];
        digits[i + 1] = digit_pairs[2 * pair + 1];
    }
    digits[0] = static_cast<char>('0' + value);
}

// The 18 decimal digits of a value below 10^18, leading zeros included: two
// halves in 32-bit arithmetic, which divides at half the cost.
void write_18_digits(std::uint64_t value, char* digits)
{
    write_9_digits(static_cast<std::uint32_t>(value / 1000000000u), digits);
    write_9_digits(static_cast<std::uint32_t>(value % 1000000000u), digits + 9);
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

digit_string decimal_digits(long double value, int n)
{
    digit_string d;
    d.count = n < 1 ? 1 : (n > 19 ? 19 : n);

    if (value == 0.0L || std::isnan(value)) {
        fill(d, '0');
        d.exponent = 1;
        return d;
    }
    if (std::isinf(value)) {
        fill(d, '9');
        d.exponent = 999;
        d.negative = value < 0;
        d.infinite = true;
        return d;
    }

    d.negative = std::signbit(value);
    const long double magnitude = std::fabs(value);
    const int b = binary_exponent(magnitude);
    int k = estimate_decimal_exponent(b);

    const int p = 17 - k;
    long double y;
    if (p >= 0) {
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

    // 18 digits of y and a guard zero; the first N stay, rounded on the
    // next one.
    write_18_digits(static_cast<std::uint64_t>(y), d.digits);
    d.digits[18] = '0';
    if (d.count < 19) round_on_next_digit(d, d.digits[d.count]);
    return d;
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
