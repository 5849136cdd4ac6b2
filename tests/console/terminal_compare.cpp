#include "terminal_compare.h"

#include <map>

#include "console/glyphs.h"

int byte_of_glyph(char32_t code_point, bool utf8)
{
    static const std::map<char32_t, int> bytes = [] {
        std::map<char32_t, int> table;
        for (int byte = 0; byte < 256; ++byte) {
            table[glyph_code_point(static_cast<unsigned char>(byte))] = byte;
        }
        return table;
    }();
    if (!utf8) {
        return code_point >= 32 && code_point <= 126 ? static_cast<int>(code_point) : -1;
    }
    const auto found = bytes.find(code_point);
    return found == bytes.end() ? -1 : found->second;
}

testing::AssertionResult terminal_shows(const vterm_screen& terminal, const screen_model& screen, bool utf8)
{
    if (terminal.rows != screen.rows || terminal.columns != screen.columns) {
        return testing::AssertionFailure() << "terminal " << terminal.rows << "x" << terminal.columns << ", model "
                                           << screen.rows << "x" << screen.columns;
    }
    for (int row = 1; row <= screen.rows; ++row) {
        for (int column = 1; column <= screen.columns; ++column) {
            const screen_cell& cell = cell_at(screen, row, column);
            const vterm_cell shown = vterm_cell_at(terminal, row, column);
            const auto byte = static_cast<unsigned char>(cell.character);
            const int expected_byte = utf8 || (byte >= 32 && byte <= 126) ? byte : '?';
            const int shown_byte = byte_of_glyph(shown.code_point, utf8);
            const int background = console_colour_number(shown.background);
            const int foreground = console_colour_number(shown.foreground);
            const bool colours_match = background == background_of(cell.colours) &&
                                       (cell.character == ' ' || foreground == foreground_of(cell.colours));
            if (shown_byte != expected_byte || !colours_match) {
                return testing::AssertionFailure()
                       << "cell " << row << "," << column << ": model byte " << int{byte} << " colours "
                       << foreground_of(cell.colours) << " on " << background_of(cell.colours)
                       << ", terminal U+" << std::hex << static_cast<unsigned>(shown.code_point) << std::dec
                       << " colours " << foreground << " on " << background;
            }
        }
    }
    const vterm_position cursor = vterm_cursor(terminal);
    if (cursor.row != screen.cursor_row || cursor.column != screen.cursor_column) {
        return testing::AssertionFailure() << "cursor at " << cursor.row << "," << cursor.column << ", model at "
                                           << screen.cursor_row << "," << screen.cursor_column;
    }
    return testing::AssertionSuccess();
}
