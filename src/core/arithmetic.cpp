#include "core/arithmetic.h"

#include <cstdint>

namespace {
// Precision control 11 (64-bit significand), rounding control 00 (nearest),
// all six exception masks set. Bit 6 is reserved and reads as 1.
constexpr std::uint16_t extended_nearest_masked = 0x037F;
}  // namespace

void set_arithmetic_mode()
{
    std::uint16_t word = extended_nearest_masked;
    asm volatile("fldcw %0" : : "m"(word));
}

unsigned read_arithmetic_mode()
{
    std::uint16_t word = 0;
    asm volatile("fnstcw %0" : "=m"(word));
    return word;
}
