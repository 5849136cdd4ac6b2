// The console text device: a grid of character cells with a cursor and a
// pair of current colours, mirrored onto the terminal. Every operation acts
// on the device passed to it; a device without a terminal keeps its model
// all the same, and a device with neither does nothing.
#pragma once

#include "console/clock.h"
#include "core/types.h"

struct console_device;  // console/device.h

enum class scroll_direction { up, down, left, right };

void move_cursor(console_device& console, int row, int column);
void write_text(console_device& console, byte_view text);
void end_line(console_device& console);
void set_colours(console_device& console, int foreground, int background);
void clear_screen(console_device& console);
void scroll_region(console_device& console, int top, int left, int bottom, int right,
                   scroll_direction direction, int count);

// The next key press, or an empty text when none is waiting. Keys are read
// from the terminal while the program waits, so this takes one from those
// already read; it waits only for the rest of a sequence that has just
// begun.
byte_string read_key(console_device& console);

// What a wait does for the keyboard: the descriptor to watch for key bytes,
// -1 when there is none; then `read_key_bytes` takes in what has come, and
// says whether the keyboard is still there to be watched.
int keyboard_fd(const console_device& console);
bool read_key_bytes(console_device& console);

// Sends everything written so far to the terminal in one write. Called
// before the program blocks: a receive, a pause, the end.
void flush_console(console_device& console);

// What a flush could not hand over, for a wait to hand over as the
// terminal takes it: the descriptor to watch for room, -1 when nothing is
// left. Then `continue_flush` gives the terminal what it takes now, and says
// whether anything is still left; false also when the terminal took
// nothing, so that a wait never spins on it.
int unflushed_output_fd(const console_device& console);
bool continue_flush(console_device& console);

// Flushes, then sleeps, reading keys as they are typed.
void pause_ms(console_device& console, int milliseconds);

// The terminal's bell.
void sound_beep(console_device& console);
