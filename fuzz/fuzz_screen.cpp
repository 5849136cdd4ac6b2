// The screen model and its renderer under random console operations, with
// the renderer's bytes going through the write seam into a terminal
// emulator. The seam takes output in pieces, is interrupted, stalls part-way
// through a sequence and resumes; whenever a flush has gone out completely
// the emulator must show exactly what the model holds.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <limits>
#include <map>

#include "console/device.h"
#include "console/glyphs.h"
#include "fuzz_input.h"
#include "support/vterm_screen.h"

namespace {

constexpr int most_rows = 30;
constexpr int most_columns = 100;
constexpr int most_operations = 300;
constexpr std::size_t unlimited = std::numeric_limits<std::size_t>::max();

// The terminal behind the seam. `room` is what it takes before it stalls.
struct fake_terminal {
    vterm_screen* emulator = nullptr;
    std::size_t chunk = unlimited;
    std::size_t room = unlimited;
    int interrupt_every = 0;
    bool broken = false;
    int calls = 0;
};
fake_terminal fake;

// A terminal keeps its cursor on its screen whatever it is sent and
// however its size changes. The emulator has been led off it by a size
// change before, and from there it reads outside its own tables, which the
// sanitizers do not see in a library they did not build; so it is asked.
void check_cursor_on_screen(const vterm_screen& terminal)
{
    const vterm_position cursor = vterm_cursor(terminal);
    if (cursor.row < 1 || cursor.row > terminal.rows || cursor.column < 1 || cursor.column > terminal.columns) {
        std::fprintf(stderr, "terminal cursor at %d,%d of %dx%d\n", cursor.row, cursor.column, terminal.rows,
                     terminal.columns);
    }
    FUZZ_CHECK(cursor.row >= 1 && cursor.row <= terminal.rows);
    FUZZ_CHECK(cursor.column >= 1 && cursor.column <= terminal.columns);
}

long fake_write(int, const char* bytes, std::size_t length)
{
    FUZZ_CHECK(length > 0);
    ++fake.calls;
    if (fake.broken) {
        errno = EIO;
        return -1;
    }
    if (fake.interrupt_every > 0 && fake.calls % fake.interrupt_every == 0) {
        errno = EINTR;
        return -1;
    }
    const std::size_t taken = std::min({length, fake.chunk, fake.room});
    if (taken == 0) {
        errno = EAGAIN;
        return -1;
    }
    if (fake.room != unlimited) fake.room -= taken;
    feed_vterm(*fake.emulator, byte_view(bytes, taken));
    check_cursor_on_screen(*fake.emulator);
    return static_cast<long>(taken);
}

// The model byte a terminal cell shows, from its glyph; -1 for a glyph no
// byte has.
int byte_of_glyph(char32_t code_point, bool utf8)
{
    static const std::map<char32_t, int> bytes = [] {
        std::map<char32_t, int> table;
        for (int byte = 0; byte < 256; ++byte) table[glyph_code_point(static_cast<unsigned char>(byte))] = byte;
        return table;
    }();
    if (!utf8) return code_point >= 32 && code_point <= 126 ? static_cast<int>(code_point) : -1;
    const auto found = bytes.find(code_point);
    return found == bytes.end() ? -1 : found->second;
}

// Every cell's byte and background, the foreground of every cell but a
// blank (a blank shows none, and terminals differ on what they keep for
// erased cells), the cursor; and none of the output was taken for a
// control that rings, hides the cursor or asks the terminal something.
void check_terminal_shows(vterm_screen& terminal, const screen_model& screen, bool utf8, int beeps)
{
    FUZZ_CHECK(terminal.rows == screen.rows && terminal.columns == screen.columns);
    for (int row = 1; row <= screen.rows; ++row) {
        for (int column = 1; column <= screen.columns; ++column) {
            const screen_cell& cell = cell_at(screen, row, column);
            const vterm_cell shown = vterm_cell_at(terminal, row, column);
            const auto byte = static_cast<unsigned char>(cell.character);
            const bool same_byte =
                byte_of_glyph(shown.code_point, utf8) == (utf8 || (byte >= 32 && byte <= 126) ? byte : '?');
            const bool same_colours = console_colour_number(shown.background) == background_of(cell.colours) &&
                                      (cell.character == ' ' ||
                                       console_colour_number(shown.foreground) == foreground_of(cell.colours));
            if (!same_byte || !same_colours) {
                std::fprintf(stderr, "cell %d,%d of %dx%d: model byte %d colours %d on %d, terminal U+%X colours %d on %d\n",
                             row, column, screen.rows, screen.columns, byte, foreground_of(cell.colours),
                             background_of(cell.colours), static_cast<unsigned>(shown.code_point),
                             console_colour_number(shown.foreground), console_colour_number(shown.background));
            }
            FUZZ_CHECK(same_byte && same_colours);
        }
    }
    const vterm_position cursor = vterm_cursor(terminal);
    if (cursor.row != screen.cursor_row || cursor.column != screen.cursor_column) {
        std::fprintf(stderr, "cursor at %d,%d, model at %d,%d\n", cursor.row, cursor.column, screen.cursor_row,
                     screen.cursor_column);
    }
    FUZZ_CHECK(cursor.row == screen.cursor_row && cursor.column == screen.cursor_column);
    FUZZ_CHECK(vterm_cursor_visible(terminal));
    FUZZ_CHECK(vterm_bell_count(terminal) <= beeps);
    FUZZ_CHECK(take_vterm_answers(terminal).empty());
}

struct session {
    console_device console;
    vterm_screen terminal;
    bool utf8 = true;
    int beeps = 0;
};

void flush_and_check(session& s)
{
    flush_console(s.console);
    const terminal_output& output = s.console.output;
    if (output.failed || !output.unsent.empty()) return;
    FUZZ_CHECK(!output.repaint_needed);
    FUZZ_CHECK(!vterm_holds_partial_character(s.terminal));  // a pass never ends inside a character
    check_terminal_shows(s.terminal, s.console.screen, s.utf8, s.beeps);
}

// The same size change the console makes when its terminal's window size
// changes: the model follows and the terminal is repainted.
void resize(session& s, int rows, int columns)
{
    if (rows == s.console.screen.rows && columns == s.console.screen.columns) return;
    resize_screen(s.console.screen, rows, columns);
    request_repaint(s.console.output);
    resize_vterm_screen(s.terminal, rows, columns);
    check_cursor_on_screen(s.terminal);
}

void set_terminal_behaviour(fuzz_input& input)
{
    const int chunk = take_int(input, 0, 31);
    fake.chunk = chunk == 0 ? unlimited : static_cast<std::size_t>(chunk);
    // Every second or third call at most: a write that is interrupted every
    // time would need a signal for each try.
    const int interrupt = take_int(input, 0, 2);
    fake.interrupt_every = interrupt == 0 ? 0 : interrupt + 1;
    fake.room = take_byte(input) < 128 ? unlimited : static_cast<std::size_t>(take_int(input, 0, 4095));
}

void run_operation(session& s, fuzz_input& input)
{
    console_device& console = s.console;
    const int rows = console.screen.rows;
    const int columns = console.screen.columns;
    const int extent = std::max(rows, columns);
    switch (take_byte(input) % 14) {
    case 0: case 1: {
        const int row = take_int(input, -2, rows + 2);
        move_cursor(console, row, take_int(input, -2, columns + 2));
        break;
    }
    case 2: case 3:
        write_text(console, take_bytes(input, take_byte(input)));
        break;
    case 4:
        end_line(console);
        break;
    case 5: {
        const int foreground = take_int(input, -2, 17);
        set_colours(console, foreground, take_int(input, -2, 17));
        break;
    }
    case 6:
        clear_screen(console);
        break;
    case 7: {
        const int top = take_int(input, -2, rows + 2);
        const int left = take_int(input, -2, columns + 2);
        const int bottom = take_int(input, -2, rows + 2);
        const int right = take_int(input, -2, columns + 2);
        const auto direction = static_cast<scroll_direction>(take_int(input, 0, 3));
        scroll_region(console, top, left, bottom, right, direction, take_int(input, -2, extent + 2));
        break;
    }
    case 8: {
        const int new_rows = take_int(input, 1, most_rows);
        resize(s, new_rows, take_int(input, 1, most_columns));
        break;
    }
    case 9:
        set_terminal_behaviour(input);
        break;
    case 10:
        flush_and_check(s);
        break;
    case 11: {
        // Enough output at once to pass the bound on what is kept while the
        // terminal stalls.
        const byte_view text = take_bytes(input, take_byte(input));
        for (int i = take_byte(input); i > 0; --i) write_text(console, text);
        break;
    }
    case 12:
        sound_beep(console);
        ++s.beeps;
        break;
    default:
        if (take_byte(input) == 0xFF) fake.broken = true;
        break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz_input input{data, size};
    session s;
    s.utf8 = (take_byte(input) & 1u) == 0;
    const int rows = take_int(input, 1, most_rows);
    const int columns = take_int(input, 1, most_columns);
    open_console_model(s.console, rows, columns);
    attach_terminal_output(s.console, 99, s.utf8);
    s.console.output.write = fake_write;
    open_vterm_screen(s.terminal, rows, columns, s.utf8);
    // The terminal starts out as the model does: blank, grey on black.
    feed_vterm(s.terminal, "\x1b[37;40m\x1b[2J\x1b[0m");
    fake = fake_terminal{};
    fake.emulator = &s.terminal;

    int calls_when_failed = -1;
    for (int step = 0; step < most_operations && input_left(input); ++step) {
        run_operation(s, input);
        const terminal_output& output = s.console.output;
        FUZZ_CHECK(output.unsent.size() <= output.unsent_limit);
        // A terminal that has gone is never written to again.
        if (output.failed && calls_when_failed < 0) calls_when_failed = fake.calls;
        if (calls_when_failed >= 0) FUZZ_CHECK(fake.calls == calls_when_failed);
    }

    // The terminal takes output again: one flush brings it up to date.
    fake.room = unlimited;
    flush_console(s.console);
    if (!s.console.output.failed) {
        FUZZ_CHECK(s.console.output.unsent.empty());
        flush_and_check(s);
    }
    fake = fake_terminal{};
    return 0;
}
