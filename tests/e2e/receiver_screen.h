// The receiver's terminal as an operator sees it: its output fed through a
// terminal emulator, with the emulator's answers sent back.
#pragma once

#include <gtest/gtest.h>

#include <functional>

#include "e2e/receiver_process.h"
#include "support/vterm_screen.h"

struct watched_receiver {
    receiver_process process;
    vterm_screen screen;
    std::size_t fed = 0;  // how much of the output the emulator has seen
};

// Starts the receiver on a terminal of that size in a fresh directory, or
// in the one given.
void start_watched(watched_receiver& receiver, int rows, int columns,
                   const std::string& directory = make_scratch_directory());

// Feeds what the receiver wrote until `done` holds or the time is up.
bool wait_until(watched_receiver& receiver, const std::function<bool()>& done, int milliseconds);

// Waits for the fixed screen (the table header on row 8).
bool wait_for_fixed_screen(watched_receiver& receiver);

// Row text, as UTF-8; blanks at its end removed.
byte_string row_text(const watched_receiver& receiver, int row);

// The console colour numbers of a cell.
int foreground_at(const watched_receiver& receiver, int row, int column);
int background_at(const watched_receiver& receiver, int row, int column);

// Waits for the receiver to end, answering its terminal queries meanwhile;
// its wait status, or -1 when it did not end in time (it is then killed).
int wait_for_end(watched_receiver& receiver, int milliseconds);

// Feeds the emulator what the receiver writes, for that long.
void watch_for(watched_receiver& receiver, int milliseconds);

// Feeds the emulator what has been read but not yet shown to it.
void feed_pending(watched_receiver& receiver);

// Feeds what the receiver writes until it has written nothing for
// `quiet_ms` (or `limit_ms` have passed); whether it fell quiet.
bool wait_for_quiet(watched_receiver& receiver, int quiet_ms, int limit_ms);

// ESC, then a datagram so the waiting receive returns; the wait status.
int end_with_escape(watched_receiver& receiver, byte_view wake = "FFFF");

// Where the receiver's newest full repaint begins in its output; npos when
// it has not begun one since its first output.
std::size_t last_repaint(const watched_receiver& receiver);

// Whether the emulator, which saw all the output, shows cell for cell
// (characters, colours, cursor) what a fresh emulator of its size shows
// when fed only the output from the newest repaint on: then nothing from
// before the repaint survives on the screen, and the screen is the model.
testing::AssertionResult shows_its_last_repaint(const watched_receiver& receiver);
