// Deliberately damaged frames, chosen by a seeded generator so that a run
// can be repeated frame for frame.
#pragma once

#include <cstdint>
#include <string>

// splitmix64: tiny, fast, and every seed (0 included) gives a full-period
// sequence.
struct random_source {
    std::uint64_t state = 0;
};

std::uint64_t next_random(random_source& random);

// Uniform in [0, 1), 53 bits.
long double random_fraction(random_source& random);

// Draws once per frame, so the same seed picks the same frames whatever the
// percentage.
bool should_corrupt(random_source& random, long double percent);

// Replaces one hexadecimal digit by a different one, keeping the case of
// letters. A single changed digit is a burst of at most 4 bits, which the
// CRC-16 always detects. A text without hexadecimal digits stays as it is
// and the result is false.
bool corrupt_frame_text(std::string& text, random_source& random);
