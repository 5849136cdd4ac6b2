// The keyboard: the terminal opened directly and read as its bytes arrive,
// whenever the program waits (for a datagram, in a pause), so that each
// read's time tells which bytes were typed together. Asking for a key then
// only takes one from the queue.
#pragma once

#include <cstdint>

#include "console/key_queue.h"
#include "core/types.h"

struct key_input {
    int fd = -1;        // -1: no keyboard, no key is ever read
    bool gone = false;  // the terminal hung up or failed: it is not read again
    key_queue queue;
};

// A monotonic time in microseconds, as the key queue stamps bytes.
std::int64_t monotonic_us();

// The descriptor a wait should watch for key bytes; -1 when there is none.
int key_input_fd(const key_input& input);

// One read of what the terminal has ready, stamped and decoded into the
// queue. False when the terminal is gone (end of input, hang-up, error);
// it is then never read again, so that no wait spins on it.
bool read_key_bytes(key_input& input);

// The next key press, or empty text when none is waiting. Costs no system
// call unless the start of a sequence came only just now: then it waits
// out the rest of the gap, for the sequence to complete or the ESC to
// stand alone.
byte_string next_key(key_input& input);

// Sleeps for `milliseconds`, reading key bytes as they arrive meanwhile.
void sleep_reading_keys(key_input& input, int milliseconds);

// Asks the terminal where its cursor is and waits up to `milliseconds` for
// the answer. Keys that arrive meanwhile join the queue, those that look
// like an answer included. False when no answer came.
bool ask_cursor_position(key_input& input, int output_fd, int milliseconds, int& row, int& column);
