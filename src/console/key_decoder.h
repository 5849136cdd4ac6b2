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

// The answer to the start-up question for the cursor position, which is
// followed by a question for the device attributes. A key can send what a
// position report looks like (Shift+F3 sends ESC [ 1 ; 2 R), but none sends
// an attributes report (ESC [ ? ... c), and a terminal answers questions in
// the order asked, in one go: so the answer is the position report that
// ends where the attributes report begins, and anything else is typed keys.
struct position_answer {
    bool complete = false;      // the attributes report has come: no answer is still on its way
    bool has_position = false;  // a position report came just before it
    std::size_t start = 0;      // the span of the two reports within the bytes
    std::size_t length = 0;
    int row = 0;
    int column = 0;
};
position_answer find_position_answer(byte_view bytes);
