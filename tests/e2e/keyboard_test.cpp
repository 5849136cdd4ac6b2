// The receiver's keyboard as an operator uses it: keys are told apart by
// when they are typed, ESC is never lost whatever follows it, and typing
// neither ends the receive wait nor costs processor time while it lasts.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

#include "e2e/frame_builder.h"
#include "e2e/receiver_log.h"
#include "e2e/receiver_screen.h"
#include "net/udp_endpoint.h"

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

constexpr byte_view escape = "\x1b";

class ReceiverKeyboard : public testing::Test {
protected:
    void SetUp() override
    {
        if (!enter_private_network() && port_3000_taken()) {
            GTEST_SKIP() << "UDP port 3000 is held on this machine and no private network can be had";
        }
    }
    void TearDown() override { stop_receiver(receiver.process); }

    void start()
    {
        start_watched(receiver, 25, 80);
        ASSERT_TRUE(wait_for_fixed_screen(receiver)) << receiver.process.output;
    }

    // Types the keys in one write, then lets time pass as an operator would.
    void type_then_wait(byte_view keys, std::chrono::milliseconds pause)
    {
        type_keys(receiver.process, keys);
        watch_for(receiver, static_cast<int>(pause.count()));
    }

    // Sends frame `number` and waits until the table shows it.
    void deliver(int number)
    {
        send_datagram(numbered_frame(number));
        ASSERT_TRUE(wait_until(
            receiver, [&] { return number_of_table_row(row_text(receiver, 10)) == number; }, 5000))
            << row_text(receiver, 10);
    }

    bool running()
    {
        int status = 0;
        return receiver.process.pid > 0 && waitpid(receiver.process.pid, &status, WNOHANG) == 0;
    }

    // After the last key: one frame, and the receiver must end with status 0
    // at that frame's pass, the frame handled in full.
    void expect_end_at_next_frame(int number)
    {
        send_datagram(numbered_frame(number));
        const int status = wait_for_end(receiver, 5000);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
        std::vector<int> logged;
        ASSERT_TRUE(holds_numbered_lines_in_order(read_log(receiver.process.directory), logged));
        ASSERT_FALSE(logged.empty());
        EXPECT_EQ(logged.back(), number) << "the last frame was logged before the end";
    }

    watched_receiver receiver;
};

TEST_F(ReceiverKeyboard, EscapeThenQASecondLaterEndsAtTheNextFrame)
{
    start();
    type_then_wait(escape, 1000ms);
    type_then_wait("q", 200ms);
    ASSERT_TRUE(running()) << "keys must not end the receive wait";
    expect_end_at_next_frame(1);
}

TEST_F(ReceiverKeyboard, EscapeThenEnterEndsAtTheNextFrame)
{
    start();
    type_then_wait(escape, 300ms);
    type_then_wait("\r", 200ms);
    expect_end_at_next_frame(1);
}

// Each pass takes one key: the x at the first frame's pass, ESC at the second.
TEST_F(ReceiverKeyboard, XThenEscapeEndsAtTheSecondFrame)
{
    start();
    type_then_wait("x", 200ms);
    type_then_wait(escape, 200ms);
    deliver(1);
    watch_for(receiver, 300);
    ASSERT_TRUE(running()) << "the pass that took the x ended the receiver";
    expect_end_at_next_frame(2);
}

// ESC and a key in one write are what a terminal sends for Alt with that key.
TEST_F(ReceiverKeyboard, AltXWrittenAsOneBurstIsNotAnEnd)
{
    start();
    type_then_wait("\x1bx", 200ms);
    deliver(1);
    deliver(2);
    watch_for(receiver, 300);
    ASSERT_TRUE(running()) << "Alt+x ended the receiver";
    type_then_wait(escape, 200ms);
    expect_end_at_next_frame(3);
}

// With no datagram, ESC takes effect when the receive wait runs out: not
// sooner (keys do not end the wait) and not later (keys do not restart it).
// The keys typed meanwhile cost a read per burst, so the receiver's
// processor time stays near zero. This runs for the whole receive wait.
TEST_F(ReceiverKeyboard, KeysWhileIdleNeitherEndNorShortenTheWaitAndCostNoProcessorTime)
{
    start();
    const auto wait_began = clock_type::now();  // the fixed screen is flushed just before the wait
    type_then_wait(escape, 200ms);
    const long ticks_before = cpu_ticks(receiver.process);
    for (int burst = 0; burst < 100; ++burst) {
        type_then_wait("abcdefghijklmnopqrst", 50ms);
    }
    const long ticks_after = cpu_ticks(receiver.process);
    ASSERT_TRUE(running()) << "keys ended the receive wait";
    ASSERT_GE(ticks_before, 0);
    EXPECT_LE(ticks_after - ticks_before, 5) << "clock ticks of processor time for 100 bursts of keys";

    const int status = wait_for_end(receiver, 70000);
    const double waited = std::chrono::duration<double>(clock_type::now() - wait_began).count();
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
    const double receive_wait = static_cast<double>(receive_wait_microseconds(60000)) / 1e6;
    EXPECT_GE(waited, receive_wait - 1.0) << "the wait was cut short";
    EXPECT_LE(waited, receive_wait + 2.0) << "the wait was started again";
    EXPECT_TRUE(read_log(receiver.process.directory).lines.empty());
}

}  // namespace
