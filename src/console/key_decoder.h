// Turns the bytes a terminal sends for key presses into the console's key
// texts: a character key is its byte, ESC is 27, and a key without a
// character (arrows, function keys, Alt with a letter) is 0 followed by the
// key's PC scan code. Nothing but a lone ESC ever gives 27.
#pragma once

#include <cstddef>

#include "core/types.h"

enum class key_parse_status {
    empty,     // no bytes
    partial,   // the bytes may be the start of a longer sequence
    complete,  // `consumed` bytes make one key, or one report to discard
};

struct key_parse {
    key_parse_status status = key_parse_status::empty;
    std::size_t consumed = 0;
    byte_string key;  // empty when the bytes were a report to discard
};

// Reads one key from the front of `bytes`. With `nothing_follows` the bytes
// are all there is for now, so an unfinished sequence is settled: ESC alone
// is the ESC key, ESC and one byte is Alt with that key, a longer
// unfinished sequence is consumed as an unknown key.
key_parse parse_key(byte_view bytes, bool nothing_follows);

// A cursor position report (ESC [ row ; column R) anywhere in `bytes`: its
// position in the bytes and length, and the position it reports. Keys
// typed before or after it are left where they are.
struct cursor_report {
    bool found = false;
    std::size_t start = 0;
    std::size_t length = 0;
    int row = 0;
    int column = 0;
};
cursor_report find_cursor_report(byte_view bytes);
