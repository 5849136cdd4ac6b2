#include <gtest/gtest.h>

#include "support/vterm_screen.h"

namespace {

// Twenty rows with a character on the last one and the cursor high above
// it: losing nineteen rows makes the library scroll nineteen rows away,
// more than there are above the cursor.
void open_written_to_the_bottom(vterm_screen& terminal)
{
    open_vterm_screen(terminal, 20, 33);
    feed_vterm(terminal, "\x1b[20;1Hx\x1b[5;4H");
}

}  // namespace

TEST(vterm_screen, losing_rows_keeps_the_cursor_on_the_screen)
{
    vterm_screen terminal;
    open_written_to_the_bottom(terminal);
    resize_vterm_screen(terminal, 1, 21);

    EXPECT_EQ(vterm_cursor(terminal).row, 1);
    EXPECT_EQ(vterm_cursor(terminal).column, 4);
    feed_vterm(terminal, "y");
    EXPECT_EQ(vterm_row_text(terminal, 1), "x  y                 ");
    EXPECT_EQ(vterm_cursor(terminal).column, 5);
}

TEST(vterm_screen, a_sequence_cut_by_a_size_change_still_takes_effect)
{
    vterm_screen terminal;
    open_written_to_the_bottom(terminal);
    feed_vterm(terminal, "\x1b[1;");
    resize_vterm_screen(terminal, 1, 21);
    feed_vterm(terminal, "7H");
    EXPECT_EQ(vterm_cursor(terminal).column, 7);
    EXPECT_EQ(vterm_row_text(terminal, 1), "x                    ");

    // A string that spans the change is not taken for text either.
    open_written_to_the_bottom(terminal);
    feed_vterm(terminal, "\x1b]0;a title");
    resize_vterm_screen(terminal, 1, 21);
    feed_vterm(terminal, " goes on\x07z");
    EXPECT_EQ(vterm_row_text(terminal, 1), "x  z                 ");
}

TEST(vterm_screen, a_character_cut_between_two_writes_shows_whole)
{
    vterm_screen terminal;
    open_vterm_screen(terminal, 2, 10);
    feed_vterm(terminal, "A\xe2\x94");
    EXPECT_TRUE(vterm_holds_partial_character(terminal));
    feed_vterm(terminal, "\x80" "B");
    EXPECT_FALSE(vterm_holds_partial_character(terminal));
    EXPECT_EQ(vterm_row_text(terminal, 1), "A\xe2\x94\x80" "B       ");

    // A first byte that no rest follows is shown as a broken character.
    feed_vterm(terminal, "\r\n\xc3");
    feed_vterm(terminal, "C");
    EXPECT_EQ(vterm_row_text(terminal, 2), "\xef\xbf\xbd" "C        ");
}
