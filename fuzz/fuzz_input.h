// What every fuzz target shares: reading its input as a stream of choices,
// and stopping on a broken invariant so that libFuzzer keeps the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "core/types.h"

// The input read front to back. Past its end every read gives zeros, so a
// target never has to ask how much is left before it decides something.
struct fuzz_input {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    std::size_t position = 0;
};

inline bool input_left(const fuzz_input& input)
{
    return input.position < input.size;
}

inline std::uint8_t take_byte(fuzz_input& input)
{
    return input.position < input.size ? input.data[input.position++] : 0;
}

// low..high inclusive, from as few bytes as the range needs.
inline int take_int(fuzz_input& input, int low, int high)
{
    const auto span = static_cast<std::uint32_t>(high - low) + 1u;
    std::uint32_t value = take_byte(input);
    if (span > 256u) value = value << 8 | take_byte(input);
    return low + static_cast<int>(value % span);
}

// Up to `count` bytes; fewer at the end of the input.
inline byte_view take_bytes(fuzz_input& input, std::size_t count)
{
    const std::size_t left = input.size - input.position;
    if (count > left) count = left;
    const byte_view bytes(reinterpret_cast<const char*>(input.data + input.position), count);
    input.position += count;
    return bytes;
}

// Exactly `count` bytes into `out`, zeros past the end of the input.
inline void take_exact(fuzz_input& input, void* out, std::size_t count)
{
    auto* bytes = static_cast<std::uint8_t*>(out);
    for (std::size_t i = 0; i < count; ++i) bytes[i] = take_byte(input);
}

// abort() rather than a return: libFuzzer saves the input of any crash.
#define FUZZ_CHECK(condition)                                                              \
    do {                                                                                   \
        if (!(condition)) {                                                                \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                  \
        }                                                                                  \
    } while (false)
