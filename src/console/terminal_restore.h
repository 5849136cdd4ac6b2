// Leaving the terminal as it was found, on every way out of the program.
// The record is process-wide because signal handlers need it; everything in
// it is prepared in advance, so that restoring takes only write, tcsetattr
// and fcntl, which a signal handler may call.
#pragma once

#include <termios.h>

#include "core/types.h"

struct terminal_modes {
    int input_fd = -1;  // the keyboard's terminal, whose modes were changed
    bool has_modes = false;
    termios modes{};     // as found
    int output_fd = -1;  // where the closing bytes go
    int flags_fd = -1;   // a descriptor whose status flags were changed, or -1
    int flags = 0;       // its flags as found
};

// Remembers what to put back; restoring becomes possible again.
void arm_terminal_restore(const terminal_modes& found);

// The bytes to send when restoring; they follow the model's cursor, so the
// device updates them after each flush. Longer texts are cut.
void set_restore_bytes(byte_view bytes);

// Puts the modes back and sends the closing bytes, once; later calls do
// nothing until the next arm.
void restore_terminal();

// Forgets the record after a normal restore.
void disarm_terminal_restore();

// Restores on SIGTERM, SIGHUP, fatal signals, std::terminate and exit, then
// lets the signal take the action it had before.
void install_restore_handlers();
