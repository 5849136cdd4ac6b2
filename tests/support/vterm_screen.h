// A terminal emulator in memory for tests: feed it the bytes a program sends
// to its terminal, then read what every cell shows. Rows and columns are
// counted from 1, as on the console.
#pragma once

#include <cstdint>
#include <memory>

#include "core/types.h"

struct VTerm;

struct vterm_colour {
    bool is_default = true;  // the terminal's default colour, never set by SGR
    int index = -1;          // palette index 0-255 when set by index, else -1
    std::uint8_t red = 0, green = 0, blue = 0;
    friend bool operator==(const vterm_colour&, const vterm_colour&) = default;
};

struct vterm_cell {
    char32_t code_point = U' ';  // the cell's first character; blank cells give U' '
    vterm_colour foreground;
    vterm_colour background;
};

struct vterm_screen {
    std::unique_ptr<VTerm, void (*)(VTerm*)> terminal{nullptr, nullptr};
    int rows = 0;
    int columns = 0;
};

// A blank terminal of the given size, decoding UTF-8 unless told otherwise.
void open_vterm_screen(vterm_screen& screen, int rows, int columns, bool utf8 = true);
// A change of window size; the cursor stays on the screen, also where the
// library alone would lose it.
void resize_vterm_screen(vterm_screen& screen, int rows, int columns);
// The bytes as a terminal takes them from its program, in pieces cut
// anywhere: the first bytes of a character are kept until the rest arrive.
void feed_vterm(vterm_screen& screen, byte_view bytes);
// Whether the first bytes of a character are still waiting for the rest.
bool vterm_holds_partial_character(const vterm_screen& screen);

vterm_cell vterm_cell_at(const vterm_screen& screen, int row, int column);
// The row's characters as UTF-8, one per cell, blanks included.
byte_string vterm_row_text(const vterm_screen& screen, int row);
// Where the cursor is: {row, column}.
struct vterm_position {
    int row = 0;
    int column = 0;
};
vterm_position vterm_cursor(const vterm_screen& screen);
bool vterm_cursor_visible(const vterm_screen& screen);
// How many times the bell has rung.
int vterm_bell_count(const vterm_screen& screen);
// What the terminal has sent back (answers to queries such as the cursor
// position report), taken once.
byte_string take_vterm_answers(vterm_screen& screen);

// The console's 16-colour number (1 blue, 2 green, 4 red, 8 bright) that a
// palette colour stands for, or -1 when it is not one of the 16.
int console_colour_number(const vterm_colour& colour);

// Appends the code point as UTF-8.
void append_utf8(byte_string& out, char32_t code_point);
