// The only way bytes reach the terminal. It mirrors each change of the
// screen model with ECMA-48 sequences, remembers what the terminal holds
// (cursor, colours) so that it sends only differences, and hands a whole
// pass to the terminal in one write at flush time. A terminal that stops
// taking output never holds the program up: what it cannot take is kept up
// to a bound, and past the bound the terminal is repainted from the model
// once it takes output again.
#pragma once

#include <cstddef>

#include "console/screen_model.h"
#include "core/types.h"

// The write system call, replaceable so that tests can stall or break it.
using write_call = long (*)(int fd, const char* bytes, std::size_t length);
long system_write(int fd, const char* bytes, std::size_t length);

inline constexpr std::size_t least_unsent_limit = std::size_t{256} * 1024;

struct terminal_output {
    int fd = -1;  // -1: there is no terminal, nothing is sent
    write_call write = system_write;
    bool utf8 = false;
    byte_string unsent;  // built, not yet taken by the terminal
    std::size_t unsent_limit = least_unsent_limit;
    // What the terminal will hold once it has taken `unsent`; 0 or -1 where
    // it is not known (at start, after a sequence that moves the cursor in
    // ways terminals disagree on, and after a drop).
    int cursor_row = 0;
    int cursor_column = 0;
    int colours = -1;
    // The terminal's size as last read; 0 while it is not known. It can
    // exceed the model's, which holds a bounded screen.
    int rows = 0;
    int columns = 0;
    bool started = false;         // the first bytes put the terminal into a known mode
    bool owns_screen = false;     // every cell has been drawn by us (a clear), none is the shell's
    bool repaint_needed = false;  // what the terminal shows is not known
    bool cut_sequence = false;    // dropped bytes may have left a sequence half sent
    bool failed = false;          // the terminal is gone; nothing more is sent
};

// Mirrors the changes one verb made; `text` is the text a write_text verb
// was given (the runs refer to it), empty for the other verbs.
void render_changes(terminal_output& output, const screen_model& screen, byte_view text,
                    const change_list& changes);

// Mirrors a write_text verb that put all of `text` into one row from `row`,
// `column` without scrolling: the same bytes as render_changes sends for
// its one run of cells.
void render_text_run(terminal_output& output, const screen_model& screen, int row, int column, byte_view text);

// The terminal's content is no longer known (its size changed): the next
// flush repaints every cell.
void request_repaint(terminal_output& output);

// The terminal's size is now `rows` by `columns` (the model has followed it
// as far as its bounds allow). Once the screen is ours, the terminal is
// repainted from the model, since a resized terminal may have moved or
// lost what it showed. Before that the terminal still shows the shell's
// text around ours, which a repaint would blank: then only the cursor is
// taken to be unknown.
void terminal_resized(terminal_output& output, int rows, int columns);

// The bell, in its place among the other output.
void render_bell(terminal_output& output);

// Ends the pass with the cursor where the model has it and gives the
// terminal everything it will take.
void flush_output(terminal_output& output, const screen_model& screen);

// Waits up to `milliseconds` for the terminal to take what is still unsent.
void drain_output(terminal_output& output, int milliseconds);

// Returns the terminal to its usual modes, leaving the screen content and
// putting the cursor where the model has it.
byte_string restore_sequence(const screen_model& screen);

// The same bytes into `bytes`; returns their length.
inline constexpr std::size_t restore_sequence_limit = 40;
std::size_t write_restore_sequence(const screen_model& screen, char (&bytes)[restore_sequence_limit]);
