// Copies of the few bytes a text is built from. A library copy is a call
// that decides on its size each time; pieces of a row or a line are a few
// bytes long, and two fixed-size moves that overlap cover any length in a
// range exactly, without reading or writing a byte outside it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// Copies count bytes, from sizeof(Word) to twice that, as a head and a tail
// that overlap.
template <typename Word>
inline void copy_head_and_tail(char* to, const char* from, std::size_t count)
{
    Word head = 0;
    Word tail = 0;
    std::memcpy(&head, from, sizeof head);
    std::memcpy(&tail, from + count - sizeof tail, sizeof tail);
    std::memcpy(to, &head, sizeof head);
    std::memcpy(to + count - sizeof tail, &tail, sizeof tail);
}

// Copies count bytes, 0 to 16, from `from` to `to`; the two may not overlap.
inline void copy_up_to_16(char* to, const char* from, std::size_t count)
{
    if (count >= 8) {
        copy_head_and_tail<std::uint64_t>(to, from, count);
    } else if (count >= 4) {
        copy_head_and_tail<std::uint32_t>(to, from, count);
    } else if (count >= 2) {
        copy_head_and_tail<std::uint16_t>(to, from, count);
    } else if (count == 1) {
        *to = *from;
    }
}

// Sixteen bytes held in two registers, so that a piece can be read before
// the bytes it came from are overwritten.
struct bytes_16 {
    std::uint64_t low = 0;
    std::uint64_t high = 0;
};

inline bytes_16 load_16(const char* from)
{
    bytes_16 bytes;
    std::memcpy(&bytes.low, from, 8);
    std::memcpy(&bytes.high, from + 8, 8);
    return bytes;
}

inline void store_16(char* to, const bytes_16& bytes)
{
    std::memcpy(to, &bytes.low, 8);
    std::memcpy(to + 8, &bytes.high, 8);
}

// Sixteen bytes from `from` to `to`, both of which must hold that many; the
// caller sizes its buffers so that a piece may be copied whole and the bytes
// past its end overwritten later.
inline void copy_16(char* to, const char* from)
{
    store_16(to, load_16(from));
}

// Sixteen bytes of c.
inline void fill_16(char* to, char c)
{
    const std::uint64_t run = 0x0101010101010101u * static_cast<unsigned char>(c);
    std::memcpy(to, &run, 8);
    std::memcpy(to + 8, &run, 8);
}
