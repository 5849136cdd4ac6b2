#include <gtest/gtest.h>

#include <cerrno>
#include <random>
#include <string>

#include "console/device.h"
#include "support/vterm_screen.h"
#include "terminal_compare.h"

namespace {

// A terminal behind the write seam: it takes what it is given, in pieces
// of at most `chunk` bytes, fails with EINTR now and then, or takes nothing
// while stalled.
struct fake_terminal {
    std::string received;
    std::size_t chunk = 1 << 20;
    bool stalled = false;
    bool broken = false;
    int calls = 0;
    int interrupt_every = 0;
};
fake_terminal fake;

long fake_write(int, const char* bytes, std::size_t length)
{
    ++fake.calls;
    if (fake.broken) {
        errno = EIO;
        return -1;
    }
    if (fake.interrupt_every > 0 && fake.calls % fake.interrupt_every == 0) {
        errno = EINTR;
        return -1;
    }
    if (fake.stalled) {
        errno = EAGAIN;
        return -1;
    }
    const std::size_t taken = length < fake.chunk ? length : fake.chunk;
    fake.received.append(bytes, taken);
    return static_cast<long>(taken);
}

// A device mirrored into an emulated terminal of the same size.
struct mirrored {
    console_device console;
    vterm_screen terminal;
    bool utf8 = true;
};

void open_mirrored(mirrored& m, int rows, int columns, bool utf8 = true)
{
    fake = fake_terminal{};
    open_console_model(m.console, rows, columns);
    attach_terminal_output(m.console, 99, utf8);
    m.console.output.write = fake_write;
    open_vterm_screen(m.terminal, rows, columns, utf8);
    // The terminal starts out as the model does: blank, grey on black.
    feed_vterm(m.terminal, "\x1b[37;40m\x1b[2J\x1b[0m");
    m.utf8 = utf8;
}

// Flushes and hands the terminal everything it received.
std::string flush_into_terminal(mirrored& m)
{
    flush_console(m.console);
    std::string bytes;
    bytes.swap(fake.received);
    feed_vterm(m.terminal, bytes);
    return bytes;
}

std::string every_byte_value()
{
    std::string bytes;
    for (int byte = 0; byte < 256; ++byte) {
        bytes.push_back(static_cast<char>(byte));
    }
    return bytes;
}

// One random console operation; coordinates reach past the screen on
// purpose.
void random_operation(console_device& console, std::mt19937& random)
{
    const screen_model& screen = console.screen;
    auto pick = [&random](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    switch (pick(0, 19)) {
    case 0: case 1: case 2:
        move_cursor(console, pick(-1, screen.rows + 1), pick(-1, screen.columns + 1));
        break;
    case 3: case 4: case 5: case 6: case 7: {
        std::string text(static_cast<std::size_t>(pick(0, 2 * screen.columns + 2)), ' ');
        for (char& byte : text) {
            byte = static_cast<char>(pick(0, 4) == 0 ? pick(0, 255) : pick('0', 'z'));
        }
        write_text(console, text);
        break;
    }
    case 8:
        write_text(console, every_byte_value());
        break;
    case 9: case 10:
        end_line(console);
        break;
    case 11: case 12:
        set_colours(console, pick(-2, 17), pick(-2, 17));
        break;
    case 13:
        if (pick(0, 3) == 0) {
            clear_screen(console);
        }
        break;
    case 14: case 15:
        scroll_region(console, pick(-1, screen.rows + 1), 1, pick(0, 1) == 0 ? 0 : pick(-1, screen.rows + 1), 0,
                      pick(0, 1) == 0 ? scroll_direction::down : scroll_direction::up, pick(-1, 3));
        break;
    case 16: {
        const auto direction = static_cast<scroll_direction>(pick(0, 3));
        scroll_region(console, pick(-1, screen.rows + 1), pick(-1, screen.columns + 1), pick(-1, screen.rows + 1),
                      pick(-1, screen.columns + 1), direction, pick(-1, 4));
        break;
    }
    default:
        write_text(console, "ok");
        break;
    }
}

TEST(console_renderer, random_operations_leave_the_terminal_showing_the_model)
{
    struct size_case {
        int rows, columns;
    };
    const size_case sizes[] = {{25, 80}, {40, 120}, {1, 1}, {3, 5}, {8, 30}, {12, 7}, {2, 300}};
    for (const size_case& size : sizes) {
        for (unsigned seed = 1; seed <= 6; ++seed) {
            mirrored m;
            open_mirrored(m, size.rows, size.columns);
            std::mt19937 random(seed * 7919u + static_cast<unsigned>(size.rows * 1000 + size.columns));
            for (int step = 0; step < 300; ++step) {
                random_operation(m.console, random);
                if (random() % 4 == 0) {
                    flush_into_terminal(m);
                    ASSERT_TRUE(terminal_shows(m.terminal, m.console.screen, true))
                        << size.rows << "x" << size.columns << " seed " << seed << " step " << step;
                }
            }
        }
    }
}

TEST(console_renderer, a_datagram_of_every_byte_shows_as_glyphs_and_never_acts)
{
    for (const bool utf8 : {true, false}) {
        mirrored m;
        open_mirrored(m, 6, 80, utf8);
        set_colours(m.console, 12, 0);
        move_cursor(m.console, 2, 70);
        write_text(m.console, every_byte_value());
        flush_into_terminal(m);
        EXPECT_TRUE(terminal_shows(m.terminal, m.console.screen, utf8)) << utf8;
        EXPECT_EQ(vterm_bell_count(m.terminal), 0);
        EXPECT_TRUE(vterm_cursor_visible(m.terminal));
        EXPECT_EQ(take_vterm_answers(m.terminal), "");  // no byte was taken for a query
    }
}

TEST(console_renderer, the_last_cell_of_the_screen_is_written_without_scrolling_the_terminal)
{
    mirrored m;
    open_mirrored(m, 3, 4);
    write_text(m.console, "top");
    move_cursor(m.console, 3, 1);
    write_text(m.console, "abcd");  // fills the last row: the scroll is deferred
    flush_into_terminal(m);
    EXPECT_EQ(vterm_row_text(m.terminal, 1), "top ");
    EXPECT_EQ(vterm_row_text(m.terminal, 3), "abcd");
    EXPECT_TRUE(terminal_shows(m.terminal, m.console.screen, true));
}

TEST(console_renderer, a_table_row_update_costs_little_more_than_its_cells)
{
    mirrored m;
    open_mirrored(m, 25, 80);
    clear_screen(m.console);
    for (int row = 10; row <= 25; ++row) {
        move_cursor(m.console, row, 1);
        write_text(m.console, std::string(78, static_cast<char>('a' + row)));
    }
    flush_into_terminal(m);

    const std::string slices[] = {"   1234  ", "12:34:56", std::string(48, 'x'), "  4.02", "   6.00"};
    scroll_region(m.console, 10, 1, 0, 0, scroll_direction::down, 1);
    move_cursor(m.console, 10, 1);
    write_text(m.console, slices[0]);
    set_colours(m.console, 12, 0);
    write_text(m.console, slices[1]);
    set_colours(m.console, 7, 0);
    write_text(m.console, slices[2]);
    set_colours(m.console, 12, 0);
    write_text(m.console, slices[3]);
    set_colours(m.console, 7, 0);
    write_text(m.console, slices[4]);
    const int calls_before = fake.calls;
    const std::string sent = flush_into_terminal(m);
    EXPECT_EQ(fake.calls - calls_before, 1);
    EXPECT_LE(sent.size(), 78u * 13 / 10 + 40);
    EXPECT_TRUE(terminal_shows(m.terminal, m.console.screen, true));
    EXPECT_EQ(vterm_row_text(m.terminal, 11), std::string(78, 'a' + 10) + "  ");

    // Nothing changed, nothing sent.
    const int calls_idle = fake.calls;
    EXPECT_EQ(flush_into_terminal(m), "");
    EXPECT_EQ(fake.calls, calls_idle);
}

TEST(console_renderer, clearing_hides_the_cursor_only_while_it_blanks)
{
    mirrored m;
    open_mirrored(m, 4, 10);
    write_text(m.console, "old text");
    set_colours(m.console, 15, 1);
    clear_screen(m.console);
    const std::string sent = flush_into_terminal(m);
    const std::size_t hidden = sent.find("\x1b[?25l");
    const std::size_t cleared = sent.find("\x1b[2J");
    const std::size_t shown = sent.find("\x1b[?25h", hidden == std::string::npos ? 0 : hidden);
    ASSERT_NE(hidden, std::string::npos);
    EXPECT_LT(hidden, cleared);
    EXPECT_LT(cleared, shown);
    EXPECT_TRUE(vterm_cursor_visible(m.terminal));
    EXPECT_TRUE(terminal_shows(m.terminal, m.console.screen, true));
}

TEST(console_renderer, the_bell_is_sent_only_by_sound_beep)
{
    mirrored m;
    open_mirrored(m, 2, 10);
    write_text(m.console, "\a\a");
    sound_beep(m.console);
    flush_into_terminal(m);
    EXPECT_EQ(vterm_bell_count(m.terminal), 1);
}

TEST(console_renderer, short_writes_and_interruptions_lose_nothing)
{
    mirrored m;
    open_mirrored(m, 10, 40);
    fake.chunk = 7;
    fake.interrupt_every = 3;
    std::mt19937 random(42);
    for (int step = 0; step < 200; ++step) {
        random_operation(m.console, random);
        if (step % 10 == 9) {
            flush_into_terminal(m);
        }
    }
    flush_into_terminal(m);
    EXPECT_TRUE(m.console.output.unsent.empty());
    EXPECT_TRUE(terminal_shows(m.terminal, m.console.screen, true));
}

TEST(console_renderer, a_stalled_terminal_costs_bounded_memory_and_is_repainted_when_it_resumes)
{
    mirrored m;
    open_mirrored(m, 25, 80);
    write_text(m.console, "before the stall");
    flush_into_terminal(m);

    fake.stalled = true;
    std::mt19937 random(7);
    std::size_t most_kept = 0;
    for (int step = 0; step < 20000; ++step) {
        random_operation(m.console, random);
        if (step % 3 == 0) {
            flush_console(m.console);
        }
        most_kept = std::max(most_kept, m.console.output.unsent.capacity());
    }
    EXPECT_LE(most_kept, 2 * least_unsent_limit);
    EXPECT_LE(m.console.output.unsent.size(), m.console.output.unsent_limit);

    fake.stalled = false;
    flush_into_terminal(m);
    EXPECT_TRUE(terminal_shows(m.terminal, m.console.screen, true));
}

TEST(console_renderer, a_terminal_that_fails_is_left_alone_while_the_model_goes_on)
{
    mirrored m;
    open_mirrored(m, 5, 20);
    fake.broken = true;
    write_text(m.console, "lost");
    flush_console(m.console);
    const int calls = fake.calls;
    write_text(m.console, " and more");
    flush_console(m.console);
    EXPECT_EQ(fake.calls, calls);
    EXPECT_EQ(m.console.screen.cursor_column, 14);
}

TEST(console_renderer, a_device_that_was_never_opened_does_nothing)
{
    console_device console;
    write_text(console, "x");
    end_line(console);
    scroll_region(console, 1, 1, 0, 0, scroll_direction::up, 1);
    clear_screen(console);
    flush_console(console);
    EXPECT_EQ(read_key(console), "");
    EXPECT_EQ(console.screen.rows, 0);
}

}  // namespace
