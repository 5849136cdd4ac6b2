// The keyboard: the terminal opened directly, read without waiting, its
// bytes kept until they make whole keys.
#pragma once

#include <cstddef>

#include "core/types.h"

// How long the rest of a key sequence may take to follow its ESC before
// the ESC counts as the ESC key.
inline constexpr int sequence_wait_ms = 30;

struct key_input {
    int fd = -1;  // -1: no keyboard, no key is ever read
    byte_string pending;  // read but not yet made into keys
    std::size_t limit = 4096;
};

// Takes whatever the terminal has ready, as far as the buffer has room.
// Returns the number of bytes added.
std::size_t read_ready_bytes(key_input& input);

// Waits up to `milliseconds` for bytes to read; true when some are ready.
bool wait_for_bytes(const key_input& input, int milliseconds);

// The next key, or empty text when none is waiting. Waits only to tell an
// ESC key from the start of a sequence.
byte_string next_key(key_input& input);

// Asks the terminal where its cursor is and waits up to `milliseconds` for
// the answer. Keys that arrive meanwhile stay for next_key. False when no
// answer came.
bool ask_cursor_position(key_input& input, int output_fd, int milliseconds, int& row, int& column);
