#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "console/screen_model.h"

namespace {

screen_model screen_from_rows(std::initializer_list<const char*> rows)
{
    const std::string first = *rows.begin();
    screen_model screen = make_screen(static_cast<int>(rows.size()), static_cast<int>(first.size()));
    int row = 1;
    for (const char* text : rows) {
        for (int column = 1; column <= screen.columns; ++column) {
            cell_at(screen, row, column).character = text[column - 1];
        }
        ++row;
    }
    return screen;
}

std::vector<std::string> rows_of(const screen_model& screen)
{
    std::vector<std::string> rows;
    for (int row = 1; row <= screen.rows; ++row) {
        std::string text;
        for (int column = 1; column <= screen.columns; ++column) {
            text.push_back(cell_at(screen, row, column).character);
        }
        rows.push_back(text);
    }
    return rows;
}

struct cursor_state {
    int row;
    int column;
    bool pending;
    friend bool operator==(const cursor_state&, const cursor_state&) = default;
};

cursor_state cursor_of(const screen_model& screen)
{
    return cursor_state{screen.cursor_row, screen.cursor_column, screen.pending_scroll};
}

TEST(screen_model, text_wraps_at_the_right_edge_and_fills_the_last_row_without_scrolling)
{
    screen_model screen = make_screen(3, 4);
    move_cursor(screen, 2, 3);
    write_text(screen, "abcde", nullptr);
    EXPECT_EQ(rows_of(screen), (std::vector<std::string>{"    ", "  ab", "cde "}));
    EXPECT_EQ(cursor_of(screen), (cursor_state{3, 4, false}));

    write_text(screen, "f", nullptr);  // ends exactly in the last cell
    EXPECT_EQ(rows_of(screen), (std::vector<std::string>{"    ", "  ab", "cdef"}));
    EXPECT_EQ(cursor_of(screen), (cursor_state{3, 1, true}));

    write_text(screen, "i", nullptr);  // the deferred scroll happens now
    EXPECT_EQ(rows_of(screen), (std::vector<std::string>{"  ab", "cdef", "i   "}));
    EXPECT_EQ(cursor_of(screen), (cursor_state{3, 2, false}));
}

TEST(screen_model, a_full_row_then_a_line_end_leaves_one_empty_row)
{
    screen_model screen = make_screen(4, 3);
    write_text(screen, "abc", nullptr);
    end_line(screen, nullptr);
    write_text(screen, "d", nullptr);
    EXPECT_EQ(rows_of(screen), (std::vector<std::string>{"abc", "   ", "d  ", "   "}));
}

TEST(screen_model, line_end_on_the_last_row_scrolls_once_or_twice_after_a_full_row)
{
    screen_model once = screen_from_rows({"aa", "bb", "cc"});
    move_cursor(once, 3, 2);
    end_line(once, nullptr);
    EXPECT_EQ(rows_of(once), (std::vector<std::string>{"bb", "cc", "  "}));
    EXPECT_EQ(cursor_of(once), (cursor_state{3, 1, false}));

    screen_model twice = screen_from_rows({"aa", "bb", "cc"});
    move_cursor(twice, 3, 1);
    write_text(twice, "xy", nullptr);
    end_line(twice, nullptr);
    EXPECT_EQ(rows_of(twice), (std::vector<std::string>{"xy", "  ", "  "}));
    EXPECT_EQ(cursor_of(twice), (cursor_state{3, 1, false}));

    screen_model cancelled = screen_from_rows({"aa", "bb", "cc"});
    move_cursor(cancelled, 3, 1);
    write_text(cancelled, "xy", nullptr);
    move_cursor(cancelled, 0, 0);  // moves nowhere, but still cancels the scroll
    write_text(cancelled, "z", nullptr);
    EXPECT_EQ(rows_of(cancelled), (std::vector<std::string>{"aa", "bb", "zy"}));
}

TEST(screen_model, every_byte_takes_one_cell_in_the_current_colours)
{
    screen_model screen = make_screen(2, 8);
    write_text(screen, "a", nullptr);
    set_colours(screen, 12, 0);
    const std::string bytes{'\n', '\r', '\t', '\0', '\a', '\x1b', '\xff'};
    write_text(screen, bytes, nullptr);
    EXPECT_EQ(rows_of(screen)[0], "a" + bytes);
    EXPECT_EQ(cursor_of(screen), (cursor_state{2, 1, false}));
    EXPECT_EQ(cell_at(screen, 1, 1).colours, make_attribute(7, 0));
    for (int column = 2; column <= 8; ++column) {
        EXPECT_EQ(cell_at(screen, 1, column).colours, make_attribute(12, 0)) << column;
    }
}

TEST(screen_model, empty_text_changes_nothing_not_even_a_pending_scroll)
{
    screen_model screen = make_screen(2, 2);
    move_cursor(screen, 2, 1);
    write_text(screen, "ab", nullptr);
    const screen_model before = screen;
    change_list changes;
    write_text(screen, "", &changes);
    EXPECT_EQ(screen, before);
    EXPECT_TRUE(changes.empty());
}

TEST(screen_model, cursor_moves_keep_a_coordinate_that_is_off_the_screen)
{
    struct move_case {
        int row, column;
        int expected_row, expected_column;
    };
    const move_case cases[] = {
        {10, 1, 3, 1},  // fewer than 10 rows: only the column moves
        {0, 4, 3, 4},   {2, 0, 2, 5},   {-1, -1, 3, 5}, {4, 9, 4, 5},
        {1, 1, 1, 1},   {4, 5, 4, 5},   {5, 6, 3, 5},
    };
    for (const move_case& c : cases) {
        screen_model screen = make_screen(4, 5);
        move_cursor(screen, 3, 5);
        move_cursor(screen, c.row, c.column);
        EXPECT_EQ(cursor_of(screen), (cursor_state{c.expected_row, c.expected_column, false}))
            << c.row << "," << c.column;
    }
}

TEST(screen_model, colours_out_of_range_leave_that_colour_as_it_was)
{
    struct colour_case {
        int foreground, background;
        int expected_foreground, expected_background;
    };
    const colour_case cases[] = {
        {12, 0, 12, 0}, {16, 4, 3, 4}, {-1, 15, 3, 15}, {9, 16, 9, 5}, {0, -7, 0, 5}, {99, 99, 3, 5},
    };
    for (const colour_case& c : cases) {
        screen_model screen = make_screen(1, 1);
        set_colours(screen, 3, 5);
        set_colours(screen, c.foreground, c.background);
        EXPECT_EQ(screen.foreground, c.expected_foreground) << c.foreground << "," << c.background;
        EXPECT_EQ(screen.background, c.expected_background) << c.foreground << "," << c.background;
    }
}

TEST(screen_model, clear_blanks_in_the_current_colours_and_homes_the_cursor)
{
    screen_model screen = screen_from_rows({"ab", "cd"});
    move_cursor(screen, 2, 1);
    write_text(screen, "xy", nullptr);
    set_colours(screen, 14, 1);
    clear_screen(screen, nullptr);
    screen_model expected = make_screen(2, 2);
    for (screen_cell& cell : expected.cells) {
        cell.colours = make_attribute(14, 1);
    }
    expected.foreground = 14;
    expected.background = 1;
    EXPECT_EQ(screen, expected);
}

TEST(screen_model, region_scroll_moves_within_the_clamped_rectangle_only)
{
    struct scroll_case {
        const char* name;
        int top, left, bottom, right;
        scroll_direction direction;
        int count;
        std::vector<std::string> expected;
    };
    const scroll_case cases[] = {
        {"table region down", 2, 1, 0, 0, scroll_direction::down, 1, {"abcd", "    ", "efgh", "ijkl"}},
        {"up by two", 1, 1, 4, 4, scroll_direction::up, 2, {"ijkl", "mnop", "    ", "    "}},
        {"count below one is one", 1, 1, 4, 4, scroll_direction::up, -5, {"efgh", "ijkl", "mnop", "    "}},
        {"count beyond the height blanks it", 2, 2, 3, 3, scroll_direction::down, 50, {"abcd", "e  h", "i  l", "mnop"}},
        {"left inside a rectangle", 2, 2, 3, 4, scroll_direction::left, 1, {"abcd", "egh ", "ikl ", "mnop"}},
        {"right to the last column", 1, 2, 1, 0, scroll_direction::right, 2, {"a  b", "efgh", "ijkl", "mnop"}},
        {"bottom beyond the screen", 3, 1, 99, 99, scroll_direction::up, 1, {"abcd", "efgh", "mnop", "    "}},
        {"top limited to the bottom", 9, 1, 2, 4, scroll_direction::down, 1, {"abcd", "    ", "ijkl", "mnop"}},
        {"left limited to the right", 1, 9, 4, 2, scroll_direction::up, 1, {"afcd", "ejgh", "inkl", "m op"}},
        {"top below one", -3, 1, 2, 4, scroll_direction::up, 1, {"efgh", "    ", "ijkl", "mnop"}},
    };
    for (const scroll_case& c : cases) {
        screen_model screen = screen_from_rows({"abcd", "efgh", "ijkl", "mnop"});
        move_cursor(screen, 2, 3);
        set_colours(screen, 2, 6);
        scroll_region(screen, c.top, c.left, c.bottom, c.right, c.direction, c.count, nullptr);
        EXPECT_EQ(rows_of(screen), c.expected) << c.name;
        EXPECT_EQ(cursor_of(screen), (cursor_state{2, 3, false})) << c.name;
        for (int row = 1; row <= 4; ++row) {
            for (int column = 1; column <= 4; ++column) {
                const screen_cell& cell = cell_at(screen, row, column);
                const colour_attribute expected = cell.character == ' ' ? make_attribute(2, 6) : initial_colours;
                EXPECT_EQ(cell.colours, expected) << c.name << " at " << row << "," << column;
            }
        }
    }
}

TEST(screen_model, resizing_keeps_the_top_left_and_the_cursor_on_the_screen)
{
    screen_model screen = screen_from_rows({"abc", "def", "ghi"});
    move_cursor(screen, 3, 1);
    write_text(screen, "xyz", nullptr);  // pending scroll on the old last row
    resize_screen(screen, 2, 4);
    EXPECT_EQ(rows_of(screen), (std::vector<std::string>{"abc ", "def "}));
    EXPECT_EQ(cursor_of(screen), (cursor_state{2, 1, false}));
    resize_screen(screen, 3, 2);
    EXPECT_EQ(rows_of(screen), (std::vector<std::string>{"ab", "de", "  "}));
}

TEST(screen_model, an_absurd_size_is_held_to_the_bound_with_everything_else_as_usual)
{
    const std::size_t most_cells =
        static_cast<std::size_t>(largest_screen_side) * static_cast<std::size_t>(largest_screen_side);
    screen_model screen = make_screen(65535, 65535);
    EXPECT_EQ(screen.rows, largest_screen_side);
    EXPECT_EQ(screen.columns, largest_screen_side);
    EXPECT_EQ(screen.cells.size(), most_cells);

    screen = screen_from_rows({"abc", "def"});
    move_cursor(screen, 2, 3);
    resize_screen(screen, 65535, 3);
    EXPECT_EQ(screen.rows, largest_screen_side);
    EXPECT_EQ(screen.columns, 3);
    EXPECT_EQ(rows_of(screen)[1], "def");
    EXPECT_EQ(cursor_of(screen), (cursor_state{2, 3, false}));
    resize_screen(screen, 70000, 70000);
    EXPECT_EQ(screen.cells.size(), most_cells);
    EXPECT_EQ(rows_of(screen)[0].substr(0, 4), "abc ");

    // The last row is the bound's: a line end there scrolls the model.
    move_cursor(screen, largest_screen_side, 1);
    end_line(screen, nullptr);
    EXPECT_EQ(rows_of(screen)[0].substr(0, 4), "def ");
}

}  // namespace
