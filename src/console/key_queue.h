// Key presses on their way from the terminal to the key poll. The bytes a
// terminal sends are decoded as they arrive, each read stamped with the
// time it came: bytes that come together make escape sequences and Alt
// combinations, while an ESC that nothing follows for a moment is the ESC
// key, whatever is typed after it. The keys then wait, oldest first, in a
// queue of fixed size.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/types.h"

// How long the bytes of one key may take to follow each other, in
// microseconds. A terminal sends a key's sequence in one write, so its bytes
// normally come in one read; only the way to us splits them (a remote
// login's packets, a slow serial line), by a few milliseconds at most. A
// person takes longer than this between two key presses, and ESC, far from
// every other key, longer still; so a pause this long ends a key.
inline constexpr std::int64_t key_gap_us = 40000;

// More keys than anyone types ahead of a receiver that takes one per pass.
inline constexpr std::size_t key_queue_size = 64;

struct key_press {
    std::array<char, 2> bytes{};
    std::uint8_t length = 0;
};

struct key_queue {
    std::array<key_press, key_queue_size> keys{};
    std::size_t oldest = 0;
    std::size_t count = 0;
    std::size_t capacity = key_queue_size;  // 1 to key_queue_size; tests make it small
    std::size_t escapes = 0;                // ESC keys among those waiting
    byte_string unfinished;                 // the start of a sequence whose rest may be on its way
    std::int64_t unfinished_at_us = 0;      // when its newest byte came
};

// Bytes that came together at `arrival_us` (a monotonic time). What was
// unfinished is settled first if it came more than the gap before; complete
// keys join the queue, and the start of a sequence stays unfinished.
void add_key_bytes(key_queue& queue, byte_view bytes, std::int64_t arrival_us);

// Settles the unfinished bytes if nothing has followed them for the gap by
// `now_us`: an ESC alone is then the ESC key.
void settle_keys(key_queue& queue, std::int64_t now_us);

// Settles the unfinished bytes as they are: nothing more will follow them.
void settle_keys(key_queue& queue);

// The oldest key, or empty text when none waits.
byte_string take_key(key_queue& queue);
