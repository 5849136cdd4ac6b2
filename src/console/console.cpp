#include "console/console.h"

#include <sys/ioctl.h>

#include <algorithm>

#include "console/device.h"
#include "console/size_signal.h"
#include "console/terminal_restore.h"

namespace {

// The model follows the terminal; what a smaller size cut is gone from it,
// so the smallest size is kept for whoever drew there.
void note_resize(console_device& console, int rows, int columns)
{
    screen_model& screen = console.screen;
    if (!console.resized) {
        console.least_rows = screen.rows;
        console.least_columns = screen.columns;
    }
    resize_screen(screen, rows, columns);
    console.resized = true;
    console.least_rows = std::min(console.least_rows, screen.rows);
    console.least_columns = std::min(console.least_columns, screen.columns);
}

// The screen is as large as the terminal is now, within the model's
// bounds. A change of size keeps the model's top-left content.
bool ready(console_device& console)
{
    if (console.screen.rows == 0) {
        return false;
    }
    if (console.size_fd >= 0 && (!console.size_follows_signal || take_size_signal())) {
        winsize size{};
        if (ioctl(console.size_fd, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 && size.ws_col > 0 &&
            (size.ws_row != console.output.rows || size.ws_col != console.output.columns)) {
            note_resize(console, size.ws_row, size.ws_col);
            terminal_resized(console.output, size.ws_row, size.ws_col);
        }
    }
    console.changes.clear();
    return true;
}

}  // namespace

void move_cursor(console_device& console, int row, int column)
{
    if (ready(console)) {
        move_cursor(console.screen, row, column);
    }
}

void write_text(console_device& console, byte_view text)
{
    if (ready(console)) {
        screen_model& screen = console.screen;
        // The usual case, a text that fits in the rest of the cursor's row,
        // makes one run of cells and needs no list of changes.
        const int room = screen.columns - screen.cursor_column + 1;  // at least 1
        if (!screen.pending_scroll && room > 0 && text.size() <= static_cast<std::size_t>(room)) {
            const int row = screen.cursor_row;
            const int column = screen.cursor_column;
            write_text(screen, text, nullptr);
            render_text_run(console.output, screen, row, column, text);
            return;
        }
        write_text(screen, text, &console.changes);
        render_changes(console.output, console.screen, text, console.changes);
    }
}

void end_line(console_device& console)
{
    if (ready(console)) {
        end_line(console.screen, &console.changes);
        render_changes(console.output, console.screen, byte_view{}, console.changes);
    }
}

void set_colours(console_device& console, int foreground, int background)
{
    if (ready(console)) {
        set_colours(console.screen, foreground, background);
    }
}

void clear_screen(console_device& console)
{
    if (ready(console)) {
        clear_screen(console.screen, &console.changes);
        render_changes(console.output, console.screen, byte_view{}, console.changes);
    }
}

void scroll_region(console_device& console, int top, int left, int bottom, int right,
                   scroll_direction direction, int count)
{
    if (ready(console)) {
        scroll_region(console.screen, top, left, bottom, right, direction, count, &console.changes);
        render_changes(console.output, console.screen, byte_view{}, console.changes);
    }
}

byte_string read_key(console_device& console)
{
    return next_key(console.keyboard);
}

int keyboard_fd(const console_device& console)
{
    return key_input_fd(console.keyboard);
}

bool read_key_bytes(console_device& console)
{
    return read_key_bytes(console.keyboard);
}

void flush_console(console_device& console)
{
    if (ready(console) && console.output.fd >= 0) {
        flush_output(console.output, console.screen);
        follow_cursor_for_restore(console);
    }
}

int unflushed_output_fd(const console_device& console)
{
    const terminal_output& output = console.output;
    return output.fd >= 0 && !output.failed && !output.unsent.empty() ? output.fd : -1;
}

bool continue_flush(console_device& console)
{
    const std::size_t before = console.output.unsent.size();
    const bool repaint_due = console.output.repaint_needed;
    flush_console(console);
    const bool progress = console.output.unsent.size() < before || console.output.repaint_needed != repaint_due;
    return progress && unflushed_output_fd(console) >= 0;
}

void pause_ms(console_device& console, int milliseconds)
{
    flush_console(console);
    if (milliseconds > 0) {
        sleep_reading_keys(console.keyboard, milliseconds);
    }
}

void sound_beep(console_device& console)
{
    if (ready(console)) {
        render_bell(console.output);
    }
}
