// The console text device: the screen model, the terminal it is mirrored
// on, and the keyboard. The main routine owns one for the run and passes
// it to every console operation.
#pragma once

#include "console/clock.h"
#include "console/console.h"
#include "console/key_input.h"
#include "console/screen_model.h"
#include "console/terminal_output.h"

struct console_device {
    screen_model screen;  // rows == 0: never opened, every operation does nothing
    terminal_output output;
    key_input keyboard;
    int size_fd = -1;  // the terminal whose size the screen follows; -1: fixed size
    bool size_follows_signal = false;  // asked only after SIGWINCH, else at every operation
    int own_output_fd = -1;  // a descriptor the device opened for output and closes
    change_list changes;     // scratch for one verb
    local_time_cache clock;  // the status row's time text, made once a second
    // The cursor the restore handlers' bytes were last made for; 0: none yet.
    int restore_row = 0;
    int restore_column = 0;
    // Set when the screen's size changes, and cleared by whoever draws on
    // it; with the smallest size the screen had in between, so that a
    // drawing that a smaller terminal cut can be seen to need drawing again.
    bool resized = false;
    int least_rows = 0;
    int least_columns = 0;
};

// Process set-up: output to standard output if it is a terminal, else to
// standard error if that one is, else nowhere; keys from the controlling
// terminal in raw mode; the cursor where the terminal says it is (or, when
// it does not answer, at the start of the last row). The screen is neither
// cleared nor switched. True when a terminal shows the screen; without one
// every operation keeps the model of an 80 by 25 screen, and the program
// runs on all the same.
bool open_console(console_device& console);

// Shutdown: sends what is left (waiting a moment at most), then the
// terminal gets back its modes, plain colours, a visible cursor and no
// scroll region, with the cursor where the model has it. The screen keeps
// its content. Safe to call more than once.
void close_console(console_device& console);

// The terminal is restored on SIGTERM, SIGHUP, a fatal signal, a call of
// std::terminate and exit as well; each signal then takes the action it had.
void install_terminal_restore_handlers(console_device& console);

// A device without terminal or keyboard, of the given size (each at least
// 1): the operations act on its model alone.
void open_console_model(console_device& console, int rows, int columns);

// Gives the restore handlers the bytes for the model's cursor, when the
// cursor has moved since they were last made.
void follow_cursor_for_restore(console_device& console);

// Mirrors the device's model on `fd` from now on, as it would on a terminal
// of the model's size, whose content is taken to be unknown until drawn.
void attach_terminal_output(console_device& console, int fd, bool utf8);
