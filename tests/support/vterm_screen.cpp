#include "support/vterm_screen.h"

#include <vterm.h>

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

// What the terminal reports through callbacks rather than cells.
struct screen_flags {
    bool cursor_visible = true;
    int bells = 0;
};

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

void resize_vterm_screen(vterm_screen& screen, int rows, int columns)
{
    vterm_set_size(screen.terminal.get(), rows, columns);
    screen.rows = rows;
    screen.columns = columns;
}

void feed_vterm(vterm_screen& screen, byte_view bytes)
{
    if (!bytes.empty()) {
        vterm_input_write(screen.terminal.get(), bytes.data(), bytes.size());
    }
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
