// The console as plain data: a grid of cells, the cursor, the current
// colours and the pending scroll mark, changed only through the verbs below.
// Nothing here knows about a terminal; a verb can report what it changed so
// that a renderer can mirror it.
#pragma once

#include <cstdint>
#include <vector>

#include "console/console.h"
#include "core/types.h"

// background * 16 + foreground, both 0-15: 1 blue, 2 green, 4 red, 8 bright.
using colour_attribute = std::uint8_t;

inline constexpr colour_attribute make_attribute(int foreground, int background)
{
    return static_cast<colour_attribute>(background * 16 + foreground);
}
inline constexpr int foreground_of(colour_attribute attribute) { return attribute & 15; }
inline constexpr int background_of(colour_attribute attribute) { return attribute >> 4; }

inline constexpr colour_attribute initial_colours = make_attribute(7, 0);

struct screen_cell {
    char character = ' ';
    colour_attribute colours = initial_colours;
    friend bool operator==(const screen_cell&, const screen_cell&) = default;
};

struct screen_model {
    int rows = 0;
    int columns = 0;
    // Row by row, rows * columns, in the order of `row_places`: the table
    // scrolls once a frame, and moving the places of its rows costs a
    // fraction of moving their cells.
    std::vector<screen_cell> cells;
    std::vector<std::uint16_t> row_places;  // screen row r lies at cells' row row_places[r - 1]
    int cursor_row = 1;
    int cursor_column = 1;
    int foreground = 7;
    int background = 0;
    bool pending_scroll = false;
};

// Two models are equal when they show the same: where their rows lie in
// memory does not count.
bool operator==(const screen_model& a, const screen_model& b);

// One thing a verb did to the cells, in the order it did it. A run of cells
// refers to bytes of the text handed to write_text and was written in the
// current colours; a scroll is a rectangle already clamped to the screen.
struct screen_change {
    enum class kind { cells, scroll, clear };
    kind what = kind::cells;
    int row = 0;
    int column = 0;
    std::size_t offset = 0;  // cells: first byte of the run within the text
    std::size_t length = 0;  // cells: bytes in the run
    int top = 0, left = 0, bottom = 0, right = 0;  // scroll rectangle
    scroll_direction direction = scroll_direction::up;
    int count = 0;  // scroll: at least 1, at most the rectangle's extent
};
using change_list = std::vector<screen_change>;

// The most rows and columns the model holds. A terminal can say it is as
// large as 65535 by 65535; the model then covers its top-left corner, which
// is room enough for any layout, and leaves the rest alone.
inline constexpr int largest_screen_side = 512;

// A screen of the given size (each from 1 to largest_screen_side), every
// cell blank in the initial colours, the cursor at row 1, column 1.
screen_model make_screen(int rows, int columns);

screen_cell& cell_at(screen_model& screen, int row, int column);
const screen_cell& cell_at(const screen_model& screen, int row, int column);

// The same size change a terminal window makes, within the bounds of
// make_screen: the top-left content stays, new cells are blank in the
// current colours, the cursor is kept on the screen. The pending scroll
// mark belongs to the old last row, so it goes.
void resize_screen(screen_model& screen, int rows, int columns);

// The console verbs. `changes`, when given, receives what was done.
void move_cursor(screen_model& screen, int row, int column);
void write_text(screen_model& screen, byte_view text, change_list* changes);
void end_line(screen_model& screen, change_list* changes);
void set_colours(screen_model& screen, int foreground, int background);
void clear_screen(screen_model& screen, change_list* changes);
void scroll_region(screen_model& screen, int top, int left, int bottom, int right,
                   scroll_direction direction, int count, change_list* changes);
