#include "console/terminal_output.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <new>

#include "console/glyphs.h"

namespace {

constexpr char escape = 27;

// Cancels a sequence the terminal may be in the middle of (a dropped tail
// can cut one), then puts the modes our addressing relies on: no scroll
// region, no origin mode, replace rather than insert, plain colours,
// cursor visible.
constexpr byte_view cancel_sequence = "\x18";
constexpr byte_view start_modes = "\x1b[0m\x1b[r\x1b[?6l\x1b[4l\x1b[?25h";

// A control sequence is laid out in a small buffer and appended in one go:
// a byte at a time, each append checks the string's room and length again.
struct sequence_text {
    char bytes[32];
    std::size_t length = 0;
};

void put(sequence_text& text, char c)
{
    text.bytes[text.length++] = c;
}

void put_number(sequence_text& text, int value)
{
    // The numbers sent are rows, columns and colour parameters: below 10^5.
    unsigned magnitude = value < 0 ? 0u : static_cast<unsigned>(value);
    char digits[12];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    while (count > 0) put(text, digits[--count]);
}

void put_csi(sequence_text& text)
{
    put(text, escape);
    put(text, '[');
}

void append_sequence(byte_string& out, const sequence_text& text)
{
    out.append(text.bytes, text.length);
}

// CSI n <final>, with n left out when it is 1, the default of these
// sequences.
void append_counted(byte_string& out, int count, char final)
{
    sequence_text text;
    put_csi(text);
    if (count != 1) {
        put_number(text, count);
    }
    put(text, final);
    append_sequence(out, text);
}

// Our numbering has bit 1 blue and bit 4 red; the ANSI one the reverse.
int ansi_colour(int colour)
{
    return ((colour & 1) << 2) | (colour & 2) | ((colour & 4) >> 2);
}

int foreground_parameter(int colour) { return ((colour & 8) != 0 ? 90 : 30) + ansi_colour(colour); }
int background_parameter(int colour) { return ((colour & 8) != 0 ? 100 : 40) + ansi_colour(colour); }

// The colours and the cursor usually stay as they are: the test is made
// where the call is, and the sequence is laid out only when one is needed.
[[gnu::noinline]] void send_colours(terminal_output& output, colour_attribute colours)
{
    const int foreground = foreground_of(colours);
    const int background = background_of(colours);
    sequence_text text;
    put_csi(text);
    if (output.colours < 0) {
        put(text, '0');
        put(text, ';');
        put_number(text, foreground_parameter(foreground));
        put(text, ';');
        put_number(text, background_parameter(background));
    } else {
        const auto known = static_cast<colour_attribute>(output.colours);
        const bool foreground_differs = foreground_of(known) != foreground;
        if (foreground_differs) {
            put_number(text, foreground_parameter(foreground));
        }
        if (background_of(known) != background) {
            if (foreground_differs) {
                put(text, ';');
            }
            put_number(text, background_parameter(background));
        }
    }
    put(text, 'm');
    append_sequence(output.unsent, text);
    output.colours = colours;
}

inline void set_terminal_colours(terminal_output& output, colour_attribute colours)
{
    if (output.colours != colours) {
        send_colours(output, colours);
    }
}

[[gnu::noinline]] void send_cursor(terminal_output& output, int row, int column)
{
    sequence_text text;
    put_csi(text);
    if (output.cursor_row == row && output.cursor_column > 0) {
        if (column != 1) {
            put_number(text, column);
        }
        put(text, 'G');
    } else {
        if (row != 1 || column != 1) {
            put_number(text, row);
        }
        if (column != 1) {
            put(text, ';');
            put_number(text, column);
        }
        put(text, 'H');
    }
    append_sequence(output.unsent, text);
    output.cursor_row = row;
    output.cursor_column = column;
}

inline void set_terminal_cursor(terminal_output& output, int row, int column)
{
    if (output.cursor_row != row || output.cursor_column != column) {
        send_cursor(output, row, column);
    }
}

void forget_cursor(terminal_output& output)
{
    output.cursor_row = 0;
    output.cursor_column = 0;
}

void begin_output(terminal_output& output)
{
    if (!output.started) {
        // Room for all the output the bound lets wait, had at the start: a
        // terminal that falls behind then never makes the buffer grow while
        // frames come. Pages the output never reaches are never touched.
        try {
            output.unsent.reserve(output.unsent_limit);
        } catch (const std::bad_alloc&) {
            // It grows as it is filled instead.
        }
        output.unsent.append(start_modes);
        output.started = true;
        output.colours = -1;  // SGR 0 gives the terminal's default colours, not ours
        forget_cursor(output);
    }
}

// The cursor's column after `length` cells written from `column`: past the
// last column the terminal waits to wrap, and terminals differ on what the
// next byte does there, so the position counts as unknown.
void advance_cursor(terminal_output& output, const screen_model& screen, std::size_t length)
{
    output.cursor_column += static_cast<int>(length);
    if (output.cursor_column > screen.columns) {
        forget_cursor(output);
    }
}

void render_run(terminal_output& output, const screen_model& screen, int row, int column, byte_view bytes)
{
    set_terminal_colours(output, make_attribute(screen.foreground, screen.background));
    set_terminal_cursor(output, row, column);
    append_glyphs(output.unsent, bytes, output.utf8);
    advance_cursor(output, screen, bytes.size());
}

// Draws cells from the model as they are now.
void render_rectangle(terminal_output& output, const screen_model& screen, int top, int left, int bottom,
                      int right)
{
    for (int row = top; row <= bottom; ++row) {
        set_terminal_cursor(output, row, left);
        for (int column = left; column <= right; ++column) {
            const screen_cell& cell = cell_at(screen, row, column);
            set_terminal_colours(output, cell.colours);
            append_glyph(output.unsent, cell.character, output.utf8);
        }
        const int width = right - left + 1;
        advance_cursor(output, screen, static_cast<std::size_t>(width));
    }
}

// Full-width up and down scrolls become the terminal's own line insertion
// and deletion, which fill with the colours in force; anything else is
// redrawn from the model. Terminals disagree on where insertion and
// deletion leave the cursor, so it is readdressed afterwards.
void render_scroll(terminal_output& output, const screen_model& screen, const screen_change& change)
{
    const bool vertical =
        change.direction == scroll_direction::up || change.direction == scroll_direction::down;
    const bool full_width = change.left == 1 && change.right == screen.columns;
    // Below a bounded model the terminal has rows of its own, which an
    // unbounded scroll would move.
    const bool to_bottom = change.bottom == screen.rows && output.rows <= screen.rows;
    if (!vertical || !full_width || (!to_bottom && change.top == change.bottom)) {
        render_rectangle(output, screen, change.top, change.left, change.bottom, change.right);
        return;
    }
    byte_string& out = output.unsent;
    set_terminal_colours(output, make_attribute(screen.foreground, screen.background));
    if (!to_bottom) {
        sequence_text region;
        put_csi(region);
        put_number(region, change.top);
        put(region, ';');
        put_number(region, change.bottom);
        put(region, 'r');
        append_sequence(out, region);
        forget_cursor(output);
    }
    set_terminal_cursor(output, change.top, 1);
    append_counted(out, change.count, change.direction == scroll_direction::down ? 'L' : 'M');
    if (!to_bottom) {
        out.append("\x1b[r", 3);
    }
    forget_cursor(output);
}

void render_clear(terminal_output& output, const screen_model& screen)
{
    set_terminal_colours(output, make_attribute(screen.foreground, screen.background));
    output.unsent.append("\x1b[?25l\x1b[2J\x1b[?25h");
    output.owns_screen = true;
}

std::size_t repaint_size(const screen_model& screen)
{
    // Per cell at most a colour change and a three-byte glyph; per row an
    // address.
    return static_cast<std::size_t>(screen.rows) * static_cast<std::size_t>(screen.columns) * 16 +
           static_cast<std::size_t>(screen.rows) * 16 + 64;
}

// Past the bound nothing more is kept: the terminal will be repainted.
void keep_within_bound(terminal_output& output)
{
    if (output.unsent.size() > output.unsent_limit) {
        output.unsent.clear();
        output.unsent.shrink_to_fit();
        output.repaint_needed = true;
        output.cut_sequence = true;
        output.colours = -1;
        forget_cursor(output);
    }
}

// Gives the terminal what it takes without waiting.
void send_unsent(terminal_output& output)
{
    std::size_t sent = 0;
    while (sent < output.unsent.size()) {
        const long result = output.write(output.fd, output.unsent.data() + sent, output.unsent.size() - sent);
        if (result > 0) {
            sent += static_cast<std::size_t>(result);
            continue;
        }
        if (result < 0 && errno == EINTR) {
            continue;
        }
        if (result < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        }
        // The terminal has gone (hang-up, closed pseudo-terminal).
        output.failed = true;
        output.unsent.clear();
        return;
    }
    output.unsent.erase(0, sent);
}

void repaint(terminal_output& output, const screen_model& screen)
{
    if (output.cut_sequence) {
        output.unsent.append(cancel_sequence);
        output.cut_sequence = false;
    }
    output.unsent.append(start_modes);
    output.started = true;
    output.colours = -1;
    forget_cursor(output);
    render_rectangle(output, screen, 1, 1, screen.rows, screen.columns);
    output.repaint_needed = false;
}

// Changes are mirrored only on a terminal that is there and whose content
// is known; otherwise the next flush repaints, or nothing is sent at all.
bool mirrors_changes(const terminal_output& output)
{
    return output.fd >= 0 && !output.failed && !output.repaint_needed;
}

}  // namespace

long system_write(int fd, const char* bytes, std::size_t length)
{
    return static_cast<long>(::write(fd, bytes, length));
}

void render_changes(terminal_output& output, const screen_model& screen, byte_view text,
                    const change_list& changes)
{
    if (!mirrors_changes(output) || changes.empty()) {
        return;
    }
    begin_output(output);
    for (const screen_change& change : changes) {
        switch (change.what) {
        case screen_change::kind::cells:
            render_run(output, screen, change.row, change.column, text.substr(change.offset, change.length));
            break;
        case screen_change::kind::scroll:
            render_scroll(output, screen, change);
            break;
        case screen_change::kind::clear:
            render_clear(output, screen);
            break;
        }
    }
    keep_within_bound(output);
}

void render_text_run(terminal_output& output, const screen_model& screen, int row, int column, byte_view text)
{
    if (!mirrors_changes(output) || text.empty()) {
        return;
    }
    begin_output(output);
    render_run(output, screen, row, column, text);
    keep_within_bound(output);
}

void request_repaint(terminal_output& output)
{
    output.repaint_needed = true;
}

void terminal_resized(terminal_output& output, int rows, int columns)
{
    const bool size_was_known = output.rows > 0 && output.columns > 0;
    output.rows = rows;
    output.columns = columns;
    if (!size_was_known) {
        return;
    }
    if (output.owns_screen) {
        output.repaint_needed = true;
    } else {
        forget_cursor(output);
    }
}

void render_bell(terminal_output& output)
{
    if (output.fd < 0 || output.failed) {
        return;
    }
    output.unsent.push_back('\a');
    keep_within_bound(output);
}

void flush_output(terminal_output& output, const screen_model& screen)
{
    if (output.fd < 0 || output.failed) {
        return;
    }
    output.unsent_limit = std::max(least_unsent_limit, 2 * repaint_size(screen));
    if (output.repaint_needed) {
        // Bytes still waiting from before go first: they may end a sequence.
        if (!output.unsent.empty()) {
            send_unsent(output);
        }
        if (!output.unsent.empty() || output.failed) {
            return;
        }
        repaint(output, screen);
    }
    begin_output(output);
    set_terminal_cursor(output, screen.cursor_row, screen.cursor_column);
    keep_within_bound(output);
    if (!output.unsent.empty()) {
        send_unsent(output);
    }
}

void drain_output(terminal_output& output, int milliseconds)
{
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    while (output.fd >= 0 && !output.failed && !output.unsent.empty()) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long elapsed = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (elapsed >= milliseconds) {
            return;
        }
        pollfd waiting{output.fd, POLLOUT, 0};
        const int ready = poll(&waiting, 1, static_cast<int>(milliseconds - elapsed));
        if (ready < 0 && errno != EINTR) {
            return;
        }
        if (ready > 0) {
            if ((waiting.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
                return;
            }
            send_unsent(output);
        }
    }
}

byte_string restore_sequence(const screen_model& screen)
{
    char bytes[restore_sequence_limit];
    return {bytes, write_restore_sequence(screen, bytes)};
}

std::size_t write_restore_sequence(const screen_model& screen, char (&bytes)[restore_sequence_limit])
{
    constexpr byte_view usual_modes = "\x1b[0m\x1b[r\x1b[?25h";
    // The address is at most 14 bytes, which a string holds without the heap.
    terminal_output placing;
    set_terminal_cursor(placing, screen.cursor_row, screen.cursor_column);
    std::size_t length = 0;
    for (const byte_view part : {cancel_sequence, usual_modes, byte_view(placing.unsent)}) {
        const std::size_t count = std::min(part.size(), restore_sequence_limit - length);
        part.copy(bytes + length, count);
        length += count;
    }
    return length;
}
