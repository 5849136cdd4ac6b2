// The start-up messages go below whatever the shell left on the terminal,
// and stay there: a key typed while the receiver asks where the cursor is
// does not move them, and a window-size change does not blank the shell's
// text above them.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

#include "e2e/receiver_screen.h"

namespace {

using namespace std::chrono_literals;

constexpr byte_view shell_text = "$ ls\r\nnotes.txt\r\n$ zarim\r\n";
constexpr byte_view first_message = "Iniciando servidor UDP - Zarim";

class ReceiverStart : public testing::Test {
protected:
    void SetUp() override
    {
        if (!enter_private_network() && port_3000_taken()) {
            GTEST_SKIP() << "UDP port 3000 is held on this machine and no private network can be had";
        }
    }
    void TearDown() override { stop_receiver(receiver.process); }

    // The receiver starts on a terminal where the shell has written three
    // lines, with the cursor at the start of the fourth.
    void start_below_shell_text()
    {
        start_watched(receiver, 25, 80);
        feed_vterm(receiver.screen, shell_text);
    }

    void expect_shell_text_kept()
    {
        EXPECT_EQ(row_text(receiver, 1), "$ ls");
        EXPECT_EQ(row_text(receiver, 2), "notes.txt");
        EXPECT_EQ(row_text(receiver, 3), "$ zarim");
    }

    watched_receiver receiver;
};

TEST_F(ReceiverStart, ShiftF3TypedDuringTheCursorQuestionIsNotTakenForTheAnswer)
{
    start_below_shell_text();
    // The question is held back from the terminal until Shift+F3, which
    // sends what a cursor report looks like, has been typed before the answer.
    for (int round = 0; round < 250 && receiver.process.output.find("\x1b[6n") == byte_string::npos; ++round) {
        read_output(receiver.process, 20);
    }
    ASSERT_NE(receiver.process.output.find("\x1b[6n"), byte_string::npos) << "no cursor question";
    type_keys(receiver.process, "\x1b[1;2R");
    ASSERT_TRUE(wait_until(receiver, [&] { return row_text(receiver, 4) == first_message; }, 5000))
        << "row 1: " << row_text(receiver, 1) << "; row 4: " << row_text(receiver, 4);
    expect_shell_text_kept();
    ASSERT_TRUE(wait_for_fixed_screen(receiver));

    // Shift+F3 is a key like any other: the first pass takes it, the second
    // the ESC.
    type_keys(receiver.process, "\x1b");
    std::this_thread::sleep_for(150ms);
    send_datagram("FFFF");
    watch_for(receiver, 300);
    int status = 0;
    ASSERT_EQ(waitpid(receiver.process.pid, &status, WNOHANG), 0) << "Shift+F3 was lost or taken for ESC";
    send_datagram("FFFF");
    status = wait_for_end(receiver, 5000);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
}

TEST_F(ReceiverStart, ASizeChangeDuringTheStartMessagesLeavesTheShellsText)
{
    start_below_shell_text();
    ASSERT_TRUE(wait_until(receiver, [&] { return row_text(receiver, 4) == first_message; }, 5000))
        << row_text(receiver, 4);
    resize_vterm_screen(receiver.screen, 30, 100);
    resize_terminal(receiver.process, 30, 100);
    ASSERT_TRUE(wait_until(
        receiver, [&] { return row_text(receiver, 5).starts_with("Recebendo dados via "); }, 5000))
        << row_text(receiver, 5);
    expect_shell_text_kept();
    EXPECT_EQ(row_text(receiver, 4), first_message);

    // Once the fixed screen is drawn the whole screen is the receiver's,
    // and a size change repaints it.
    ASSERT_TRUE(wait_for_fixed_screen(receiver));
    EXPECT_EQ(row_text(receiver, 1), "");
    ASSERT_TRUE(wait_for_quiet(receiver, 100, 5000));
    resize_vterm_screen(receiver.screen, 27, 90);
    resize_terminal(receiver.process, 27, 90);
    send_datagram("FFFF");
    ASSERT_TRUE(wait_until(receiver, [&] { return row_text(receiver, 6).starts_with("Recebido "); }, 5000));
    ASSERT_TRUE(wait_for_quiet(receiver, 100, 5000));
    EXPECT_TRUE(shows_its_last_repaint(receiver));
    const int status = end_with_escape(receiver);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
}

}  // namespace
