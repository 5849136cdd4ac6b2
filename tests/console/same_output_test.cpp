// The cheaper ways the console does its work per frame (rows moved whole,
// a text written in pieces or in one, glyph runs appended whole, the table
// row in one write) must leave the same cells and send the same bytes as
// the plain ways they replace.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "console/device.h"
#include "console/glyphs.h"
#include "console/screen_layout.h"
#include "console/screen_model.h"

namespace {

// The rectangle moved cell by cell, as the definition of the scroll reads.
void reference_scroll(screen_model& screen, int top, int left, int bottom, int right, scroll_direction direction,
                      int count)
{
    if (bottom <= 0 || bottom > screen.rows) bottom = screen.rows;
    if (right <= 0 || right > screen.columns) right = screen.columns;
    top = std::clamp(top, 1, bottom);
    left = std::clamp(left, 1, right);
    const bool vertical = direction == scroll_direction::up || direction == scroll_direction::down;
    count = std::clamp(count, 1, vertical ? bottom - top + 1 : right - left + 1);
    const screen_cell blank{' ', make_attribute(screen.foreground, screen.background)};
    const screen_model before = screen;
    for (int row = top; row <= bottom; ++row) {
        for (int column = left; column <= right; ++column) {
            int from_row = row;
            int from_column = column;
            switch (direction) {
            case scroll_direction::up: from_row = row + count; break;
            case scroll_direction::down: from_row = row - count; break;
            case scroll_direction::left: from_column = column + count; break;
            case scroll_direction::right: from_column = column - count; break;
            }
            const bool inside = from_row >= top && from_row <= bottom && from_column >= left && from_column <= right;
            cell_at(screen, row, column) = inside ? cell_at(before, from_row, from_column) : blank;
        }
    }
}

screen_model random_screen(std::mt19937& random, int rows, int columns)
{
    screen_model screen = make_screen(rows, columns);
    std::uniform_int_distribution<int> byte(0, 255);
    for (screen_cell& cell : screen.cells) {
        cell = screen_cell{static_cast<char>(byte(random)), static_cast<colour_attribute>(byte(random))};
    }
    screen.foreground = byte(random) & 15;
    screen.background = byte(random) & 15;
    return screen;
}

TEST(same_output, rows_moved_whole_are_the_cells_moved_one_by_one)
{
    std::mt19937 random(40);
    auto pick = [&random](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    for (int i = 0; i < 3000; ++i) {
        screen_model screen = random_screen(random, pick(1, 12), pick(1, 12));
        screen_model expected = screen;
        const int top = pick(-1, screen.rows + 1);
        const int left = pick(-1, screen.columns + 1);
        const int bottom = pick(-1, screen.rows + 1);
        const int right = pick(-1, screen.columns + 1);
        const auto direction = static_cast<scroll_direction>(pick(0, 3));
        const int count = pick(-1, 14);
        scroll_region(screen, top, left, bottom, right, direction, count, nullptr);
        reference_scroll(expected, top, left, bottom, right, direction, count);
        ASSERT_EQ(screen, expected) << top << "," << left << "," << bottom << "," << right << " dir "
                                    << static_cast<int>(direction) << " by " << count;
    }
    // The table's own scroll on a wide screen: full width to the bottom.
    screen_model table = random_screen(random, 40, 100);
    screen_model expected = table;
    scroll_region(table, 10, 1, 0, 0, scroll_direction::down, 1, nullptr);
    reference_scroll(expected, 10, 1, 0, 0, scroll_direction::down, 1);
    EXPECT_EQ(table, expected);
}

// The table scrolls once a frame for hours, so the places of the rows are
// moved again and again; writes land in rows wherever they lie by then.
TEST(same_output, many_scrolls_and_writes_in_turn_are_the_plain_ones)
{
    std::mt19937 random(42);
    auto pick = [&random](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    for (int run = 0; run < 40; ++run) {
        screen_model screen = random_screen(random, pick(1, 30), pick(1, 40));
        screen_model expected = screen;
        for (int step = 0; step < 200; ++step) {
            if (pick(0, 2) == 0) {
                // Byte by byte, a write takes the way of its last few cells only.
                std::string text(static_cast<std::size_t>(pick(0, 90)), ' ');
                for (char& b : text) b = static_cast<char>(pick(0, 255));
                const int row = pick(1, screen.rows);
                const int column = pick(1, screen.columns);
                move_cursor(screen, row, column);
                move_cursor(expected, row, column);
                write_text(screen, text, nullptr);
                for (const char b : text) write_text(expected, std::string_view(&b, 1), nullptr);
            } else {
                const int top = pick(1, screen.rows);
                const int bottom = pick(0, screen.rows);
                const bool whole_width = pick(0, 3) != 0;
                const int left = whole_width ? 1 : pick(1, screen.columns);
                const int right = whole_width ? 0 : pick(0, screen.columns);
                const auto direction = static_cast<scroll_direction>(pick(0, 3));
                const int count = pick(1, 4);
                scroll_region(screen, top, left, bottom, right, direction, count, nullptr);
                reference_scroll(expected, top, left, bottom, right, direction, count);
            }
            ASSERT_EQ(screen, expected) << "run " << run << " step " << step;
        }
    }
}

TEST(same_output, glyph_runs_are_the_glyphs_byte_by_byte)
{
    std::mt19937 random(41);
    std::uniform_int_distribution<int> length(0, 40);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> printable(32, 126);
    const int edges[] = {0, 31, 32, 126, 127, 128, 255};
    std::uniform_int_distribution<std::size_t> edge(0, std::size(edges) - 1);
    for (int i = 0; i < 20000; ++i) {
        std::string bytes(static_cast<std::size_t>(length(random)), ' ');
        // Mostly printable, as a frame's texts are, with the bytes at the
        // edges of the printable range and any byte now and then.
        for (char& b : bytes) {
            const int choice = byte(random);
            b = static_cast<char>(choice < 200 ? printable(random) : choice < 240 ? edges[edge(random)] : byte(random));
        }
        for (const bool utf8 : {true, false}) {
            std::string expected = "kept ";
            for (const char b : bytes) append_glyph(expected, b, utf8);
            std::string got = "kept ";
            append_glyphs(got, bytes, utf8);
            ASSERT_EQ(got, expected);
        }
    }
}

// A terminal behind the write seam that keeps what it is sent.
std::string sent;

long keep_write(int, const char* bytes, std::size_t length)
{
    sent.append(bytes, length);
    return static_cast<long>(length);
}

void open_capturing(console_device& console, int rows, int columns)
{
    open_console_model(console, rows, columns);
    attach_terminal_output(console, 99, true);
    console.output.write = keep_write;
    sent.clear();
}

// What a device shows and sends after `steps`.
struct outcome {
    screen_model screen;
    std::string bytes;
};

template <typename Steps>
outcome run_on_console(int rows, int columns, int row, int column, int foreground, Steps steps)
{
    console_device console;
    open_capturing(console, rows, columns);
    set_colours(console, foreground, 0);
    move_cursor(console, row, column);
    write_text(console, "x");
    steps(console);
    flush_console(console);
    outcome result{console.screen, sent};
    close_console(console);
    return result;
}

TEST(same_output, a_text_written_in_pieces_is_the_text_written_whole)
{
    std::mt19937 random(42);
    auto pick = [&random](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    for (int i = 0; i < 3000; ++i) {
        const int rows = pick(1, 6);
        const int columns = pick(1, 12);
        std::string text(static_cast<std::size_t>(pick(0, 3 * columns)), ' ');
        for (char& b : text) b = static_cast<char>(pick(0, 5) == 0 ? pick(0, 255) : pick('a', 'z'));
        std::vector<std::size_t> cuts = {static_cast<std::size_t>(pick(0, static_cast<int>(text.size()))),
                                         static_cast<std::size_t>(pick(0, static_cast<int>(text.size())))};
        std::sort(cuts.begin(), cuts.end());
        const int row = pick(1, rows);
        const int column = pick(1, columns);
        const outcome whole = run_on_console(rows, columns, row, column, 7, [&](console_device& c) {
            write_text(c, text);
            end_line(c);
        });
        const outcome pieces = run_on_console(rows, columns, row, column, 7, [&](console_device& c) {
            write_text(c, byte_view(text).substr(0, cuts[0]));
            write_text(c, byte_view(text).substr(cuts[0], cuts[1] - cuts[0]));
            write_text(c, byte_view(text).substr(cuts[1]));
            end_line(c);
        });
        ASSERT_EQ(pieces.screen, whole.screen) << text;
        ASSERT_EQ(pieces.bytes, whole.bytes) << text;
    }
}

TEST(same_output, a_table_row_without_warnings_is_its_five_slices)
{
    const std::string row =
        "    123  12:34:56 -23.550520  -46.633080  1234  46.3    8    -5    3.92   0.00 and beyond";
    // As the row was shown slice by slice, colours set around the warnings;
    // the last slice reaches as far as the screen does, or to the mask's
    // 78th character.
    const auto five_slices = [&row](console_device& c, int columns, bool late, bool low) {
        scroll_region(c, first_table_row, 1, 0, 0, scroll_direction::down, 1);
        move_cursor(c, first_table_row, 1);
        write_text(c, byte_view(row).substr(0, 9));
        if (late) set_colours(c, warning_colour, background_colour);
        write_text(c, byte_view(row).substr(9, 8));
        set_colours(c, ordinary_colour, background_colour);
        write_text(c, byte_view(row).substr(17, 48));
        if (low) set_colours(c, warning_colour, background_colour);
        write_text(c, byte_view(row).substr(65, 6));
        set_colours(c, ordinary_colour, background_colour);
        write_text(c, byte_view(row).substr(71, std::max(78, columns) - 71));
    };
    for (const int columns : {100, 80, 79, 60}) {
        for (const int foreground : {ordinary_colour, warning_colour, 3}) {
            for (const std::int32_t gap : {0, 31}) {
                for (const float battery : {4.2f, 1.5f}) {
                    const outcome shown = run_on_console(40, columns, 3, 5, foreground, [&](console_device& c) {
                        show_table_row(c, row, gap, battery);
                    });
                    const outcome sliced = run_on_console(40, columns, 3, 5, foreground, [&](console_device& c) {
                        five_slices(c, columns, gap > 30, battery < 1.6f);
                    });
                    ASSERT_EQ(shown.screen, sliced.screen) << columns << " " << foreground << " " << gap;
                    ASSERT_EQ(shown.bytes, sliced.bytes) << columns << " " << foreground << " " << gap;
                }
            }
        }
    }
}

TEST(same_output, the_status_row_is_its_pieces_written_one_by_one)
{
    for (const std::size_t size : {0, 1, 44, 200, 232, 233, 234, 235, 300, 5000}) {
        std::string frame_text(size, 'A');
        for (std::size_t i = 0; i < size; ++i) frame_text[i] = static_cast<char>(i * 7 % 256);
        for (const int columns : {100, 80, 30}) {
            // The time shown is the one read just before and just after,
            // unless the clock turned a second meanwhile; then again.
            byte_string time;
            byte_string time_after;
            outcome shown;
            for (int tries = 0; tries < 5 && (tries == 0 || time != time_after); ++tries) {
                shown = run_on_console(40, columns, 3, 5, 7, [&](console_device& c) {
                    time = local_time_text();
                    show_reception(c, frame_text);
                    time_after = local_time_text();
                });
            }
            ASSERT_EQ(time, time_after) << "the clock kept turning";
            // The same cells as "Recebido ", the time, " -> \"", the frame
            // text and "\"" written one after another.
            const outcome pieces = run_on_console(40, columns, 3, 5, 7, [&](console_device& c) {
                move_cursor(c, status_row, 1);
                write_text(c, "Recebido ");
                write_text(c, time);
                write_text(c, " -> \"");
                write_text(c, frame_text);
                write_text(c, "\"");
            });
            ASSERT_EQ(shown.screen, pieces.screen) << size << " " << columns;
            ASSERT_EQ(shown.bytes, pieces.bytes) << size << " " << columns;
        }
    }
}

TEST(same_output, the_restore_bytes_are_made_in_place_as_they_were_as_a_text)
{
    for (const int row : {1, 2, 9, 10, 99, 100, 65535}) {
        for (const int column : {1, 2, 79, 80, 65535}) {
            screen_model screen = make_screen(1, 1);
            screen.cursor_row = row;
            screen.cursor_column = column;
            char bytes[restore_sequence_limit];
            const std::size_t length = write_restore_sequence(screen, bytes);
            const std::string address = "\x1b[" + (row == 1 && column == 1 ? std::string() : std::to_string(row)) +
                                        (column == 1 ? std::string() : ";" + std::to_string(column)) + "H";
            EXPECT_EQ(std::string(bytes, length), "\x18\x1b[0m\x1b[r\x1b[?25h" + address);
            EXPECT_EQ(restore_sequence(screen), std::string(bytes, length));
        }
    }
}

TEST(same_output, the_status_time_is_the_clock_text_of_its_second)
{
    local_time_cache cache;
    for (int tries = 0; tries < 3; ++tries) {
        const byte_string plain = local_time_text();
        const byte_view kept = local_time_text(cache);
        if (kept == plain) {
            // Asked again within the second: the same text from the same place.
            EXPECT_EQ(local_time_text(cache).data(), kept.data());
            return;
        }
        // The second turned between the two reads; try again.
    }
    FAIL() << "the cached time text never matched the clock";
}

}  // namespace
