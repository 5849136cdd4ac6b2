#include "support/vterm_screen.h"

#include <vterm.h>

#include <string>
#include <utility>

namespace {

VTermScreen* screen_of(const vterm_screen& screen)
{
    return vterm_obtain_screen(screen.terminal.get());
}

vterm_colour colour_of(const VTermScreen* screen, VTermColor colour, bool foreground)
{
    vterm_colour result;
    result.is_default = foreground ? VTERM_COLOR_IS_DEFAULT_FG(&colour) : VTERM_COLOR_IS_DEFAULT_BG(&colour);
    if (VTERM_COLOR_IS_INDEXED(&colour)) {
        result.index = colour.indexed.idx;
    }
    VTermColor rgb = colour;
    vterm_screen_convert_color_to_rgb(screen, &rgb);
    result.red = rgb.rgb.red;
    result.green = rgb.rgb.green;
    result.blue = rgb.rgb.blue;
    return result;
}

// Where the emulator's parser stands between two writes: outside any
// sequence, or part-way through one.
enum class parse_state { ground, escape, csi_leader, csi_arguments, csi_intermediates, string, string_escape };

// What the terminal reports through callbacks rather than cells, and the
// bytes of the sequence its parser is in the middle of.
struct screen_flags {
    bool cursor_visible = true;
    int bells = 0;
    parse_state parsing = parse_state::ground;
    byte_string unfinished;  // fed again after anything slipped in between
    byte_string partial_character;  // the first bytes of a character, kept for the rest
};

// Where the last whole UTF-8 character ends. The library decodes a
// character wrongly when its bytes come in two writes, where a terminal
// keeps the first bytes until the rest arrive; the wrapper does that
// keeping for it.
std::size_t whole_characters(byte_view bytes)
{
    std::size_t start = bytes.size();
    for (int back = 0; back < 4 && start > 0; ++back) {
        const auto byte = static_cast<unsigned char>(bytes[--start]);
        if ((byte & 0xC0u) != 0x80u) {
            const std::size_t length = byte >= 0xF0u ? 4 : byte >= 0xE0u ? 3 : byte >= 0xC0u ? 2 : 1;
            return bytes.size() - start >= length ? bytes.size() : start;
        }
    }
    return bytes.size();
}

void begin_sequence(screen_flags& flags, parse_state state, unsigned char byte)
{
    flags.parsing = state;
    flags.unfinished.assign(1, static_cast<char>(byte));
}

void extend_sequence(screen_flags& flags, parse_state state, unsigned char byte)
{
    flags.parsing = state;
    flags.unfinished.push_back(static_cast<char>(byte));
}

void end_sequence(screen_flags& flags)
{
    flags.parsing = parse_state::ground;
    flags.unfinished.clear();
}

// Follows one byte the way the library's parser takes it, only as far as
// telling where a sequence starts and ends.
void follow_parser(screen_flags& flags, unsigned char byte, bool utf8)
{
    if (byte == 0x00 || byte == 0x7F) {
        return;  // ignored everywhere
    }
    if (byte == 0x18 || byte == 0x1A) {
        end_sequence(flags);  // CAN and SUB abandon a sequence
        return;
    }
    if (byte == 0x1B) {
        if (flags.parsing == parse_state::string) {
            extend_sequence(flags, parse_state::string_escape, byte);
        } else {
            begin_sequence(flags, parse_state::escape, byte);
        }
        return;
    }
    if (byte == 0x07 && flags.parsing == parse_state::string) {
        end_sequence(flags);
        return;
    }
    if (byte < 0x20) {
        return;  // any other control acts at once, inside a sequence as well
    }
    switch (flags.parsing) {
    case parse_state::string_escape:
        if (byte == 0x5C) {
            end_sequence(flags);
            return;
        }
        begin_sequence(flags, parse_state::escape, 0x1B);
        [[fallthrough]];
    case parse_state::escape:
        if (byte == '[') {
            extend_sequence(flags, parse_state::csi_leader, byte);
        } else if (byte == 'P' || byte == ']') {
            extend_sequence(flags, parse_state::string, byte);
        } else if (byte <= 0x2F) {
            extend_sequence(flags, parse_state::escape, byte);
        } else if (byte < 0x7F) {
            end_sequence(flags);
        }
        return;
    case parse_state::csi_leader:
        if (byte >= 0x3C && byte <= 0x3F) {
            extend_sequence(flags, parse_state::csi_leader, byte);
            return;
        }
        [[fallthrough]];
    case parse_state::csi_arguments:
        if ((byte >= '0' && byte <= '9') || byte == ':' || byte == ';') {
            extend_sequence(flags, parse_state::csi_arguments, byte);
            return;
        }
        [[fallthrough]];
    case parse_state::csi_intermediates:
        if (byte <= 0x2F) {
            extend_sequence(flags, parse_state::csi_intermediates, byte);
        } else {
            end_sequence(flags);  // the final byte, or one that breaks the sequence off
        }
        return;
    case parse_state::string:
        if (byte == 0x9C && !utf8) {
            end_sequence(flags);
        } else {
            flags.unfinished.push_back(static_cast<char>(byte));
        }
        return;
    case parse_state::ground:
        // Without UTF-8 the parser takes the 8-bit introducers as well.
        if (!utf8 && byte == 0x9B) {
            begin_sequence(flags, parse_state::csi_leader, byte);
        } else if (!utf8 && (byte == 0x90 || byte == 0x9D)) {
            begin_sequence(flags, parse_state::string, byte);
        }
        return;
    }
}

int on_property(VTermProp property, VTermValue* value, void* user)
{
    if (property == VTERM_PROP_CURSORVISIBLE) {
        static_cast<screen_flags*>(user)->cursor_visible = value->boolean != 0;
    }
    return 1;
}

int on_bell(void* user)
{
    ++static_cast<screen_flags*>(user)->bells;
    return 1;
}

const VTermScreenCallbacks callbacks = {
    nullptr, nullptr, nullptr, on_property, on_bell, nullptr, nullptr, nullptr,
};

screen_flags* flags_of(const vterm_screen& screen)
{
    return static_cast<screen_flags*>(vterm_screen_get_cbdata(screen_of(screen)));
}

void free_terminal(VTerm* terminal)
{
    delete static_cast<screen_flags*>(vterm_screen_get_cbdata(vterm_obtain_screen(terminal)));
    vterm_free(terminal);
}

}  // namespace

void open_vterm_screen(vterm_screen& screen, int rows, int columns, bool utf8)
{
    screen.terminal = std::unique_ptr<VTerm, void (*)(VTerm*)>(vterm_new(rows, columns), free_terminal);
    screen.rows = rows;
    screen.columns = columns;
    vterm_set_utf8(screen.terminal.get(), utf8 ? 1 : 0);
    VTermScreen* terminal_screen = screen_of(screen);
    vterm_screen_set_callbacks(terminal_screen, &callbacks, new screen_flags);
    vterm_screen_reset(terminal_screen, 1);
}

// When it loses rows, the library scrolls its screen up far enough to keep
// the lowest written row in view and moves the cursor up as far, without
// stopping it at the top row: a cursor nearer the top than the rows
// scrolled away ends up above the screen, and from then on each character
// makes the library read its table of rows before the table's start. A
// terminal keeps its cursor on the screen; so does this one, on the top
// row in the same column. Moving the cursor takes a sequence of its own,
// so the parser is taken out of any sequence it is part-way through and
// put back into it afterwards, as if the sequence had not been cut.
void resize_vterm_screen(vterm_screen& screen, int rows, int columns)
{
    vterm_set_size(screen.terminal.get(), rows, columns);
    screen.rows = rows;
    screen.columns = columns;
    VTermPos cursor{};
    vterm_state_get_cursorpos(vterm_obtain_state(screen.terminal.get()), &cursor);
    if (cursor.row < 0) {
        byte_string down = "\x18\x1b[" + std::to_string(-cursor.row) + "B";
        down += flags_of(screen)->unfinished;
        vterm_input_write(screen.terminal.get(), down.data(), down.size());
    }
}

void feed_vterm(vterm_screen& screen, byte_view bytes)
{
    screen_flags& flags = *flags_of(screen);
    const bool utf8 = vterm_get_utf8(screen.terminal.get()) != 0;
    byte_string taken = std::move(flags.partial_character);
    taken.append(bytes);
    const std::size_t whole = utf8 ? whole_characters(taken) : taken.size();
    flags.partial_character.assign(taken, whole);
    taken.resize(whole);
    for (const char byte : taken) {
        follow_parser(flags, static_cast<unsigned char>(byte), utf8);
    }
    if (!taken.empty()) {
        vterm_input_write(screen.terminal.get(), taken.data(), taken.size());
    }
}

bool vterm_holds_partial_character(const vterm_screen& screen)
{
    return !flags_of(screen)->partial_character.empty();
}

vterm_cell vterm_cell_at(const vterm_screen& screen, int row, int column)
{
    VTermScreenCell cell{};
    vterm_screen_get_cell(screen_of(screen), VTermPos{row - 1, column - 1}, &cell);
    vterm_cell result;
    result.code_point = cell.chars[0] == 0 ? U' ' : static_cast<char32_t>(cell.chars[0]);
    result.foreground = colour_of(screen_of(screen), cell.fg, true);
    result.background = colour_of(screen_of(screen), cell.bg, false);
    if (cell.attrs.reverse != 0) {
        std::swap(result.foreground, result.background);
    }
    return result;
}

byte_string vterm_row_text(const vterm_screen& screen, int row)
{
    byte_string text;
    for (int column = 1; column <= screen.columns; ++column) {
        append_utf8(text, vterm_cell_at(screen, row, column).code_point);
    }
    return text;
}

vterm_position vterm_cursor(const vterm_screen& screen)
{
    VTermPos position{};
    vterm_state_get_cursorpos(vterm_obtain_state(screen.terminal.get()), &position);
    return vterm_position{position.row + 1, position.col + 1};
}

bool vterm_cursor_visible(const vterm_screen& screen)
{
    return flags_of(screen)->cursor_visible;
}

int vterm_bell_count(const vterm_screen& screen)
{
    return flags_of(screen)->bells;
}

byte_string take_vterm_answers(vterm_screen& screen)
{
    byte_string answers;
    char buffer[256];
    for (;;) {
        const std::size_t got = vterm_output_read(screen.terminal.get(), buffer, sizeof buffer);
        if (got == 0) {
            return answers;
        }
        answers.append(buffer, got);
    }
}

int console_colour_number(const vterm_colour& colour)
{
    if (colour.is_default || colour.index < 0 || colour.index > 15) {
        return -1;
    }
    const int ansi = colour.index;
    return (ansi & 8) | ((ansi & 1) << 2) | (ansi & 2) | ((ansi & 4) >> 2);
}

void append_utf8(byte_string& out, char32_t code_point)
{
    if (code_point < 0x80) {
        out.push_back(static_cast<char>(code_point));
    } else if (code_point < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (code_point >> 6)));
        out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
    } else if (code_point < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (code_point >> 12)));
        out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (code_point >> 18)));
        out.push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
    }
}
