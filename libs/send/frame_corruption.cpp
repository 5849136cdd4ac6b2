#include "frame_corruption.h"

namespace {

int hex_value(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The index below `bound`, without the bias of a plain remainder worth
// speaking of for bounds this small next to 2^64.
std::size_t random_below(random_source& random, std::size_t bound)
{
    return static_cast<std::size_t>(next_random(random) % bound);
}

}  // namespace

std::uint64_t next_random(random_source& random)
{
    std::uint64_t z = (random.state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

long double random_fraction(random_source& random)
{
    return static_cast<long double>(next_random(random) >> 11) * 0x1p-53L;
}

bool should_corrupt(random_source& random, long double percent)
{
    return random_fraction(random) * 100 < percent;
}

bool corrupt_frame_text(std::string& text, random_source& random)
{
    std::size_t digits = 0;
    for (const char c : text) digits += hex_value(c) >= 0 ? 1 : 0;
    if (digits == 0) return false;

    std::size_t chosen = random_below(random, digits);
    for (char& c : text) {
        const int value = hex_value(c);
        if (value < 0 || chosen-- != 0) continue;
        const int flipped = value ^ static_cast<int>(1 + random_below(random, 15));
        const bool lower = c >= 'a' && c <= 'f';
        const char* table = lower ? "0123456789abcdef" : "0123456789ABCDEF";
        c = table[flipped];
        return true;
    }
    return false;
}
