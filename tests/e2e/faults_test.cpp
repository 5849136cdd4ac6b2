// The receiver when its surroundings misbehave while frames keep coming:
// it is told to end, its terminal changes size without pause, its terminal
// stops taking output.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "e2e/frame_builder.h"
#include "e2e/frame_stream.h"
#include "e2e/receiver_log.h"
#include "e2e/receiver_screen.h"

namespace {

using namespace std::chrono_literals;

constexpr byte_view border =
    "+-------+--------+----------+-----------+-----+-----+-----+------+-----+------+";
constexpr byte_view header =
    "| Frame |  Time  | Latitude | Longitude | Alt | Spd | GPS | Temp | Bat |  Clb |";

bool same_modes(const termios& a, const termios& b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

bool running(const receiver_process& process)
{
    int status = 0;
    return process.pid > 0 && waitpid(process.pid, &status, WNOHANG) == 0;
}

class ReceiverUnderFaults : public testing::Test {
protected:
    void SetUp() override
    {
        if (!enter_private_network() && port_3000_taken()) {
            GTEST_SKIP() << "UDP port 3000 is held on this machine and no private network can be had";
        }
    }
    void TearDown() override
    {
        stop_frame_stream(stream);
        stop_receiver(receiver.process);
    }

    void start(int rows, int columns)
    {
        start_watched(receiver, rows, columns);
        ASSERT_TRUE(wait_for_fixed_screen(receiver)) << receiver.process.output;
    }

    // The number of the frame on the table's top row; -1 for none.
    int newest_row() const { return number_of_table_row(row_text(receiver, 10)); }

    bool wait_for_newest_row(int number)
    {
        return wait_until(receiver, [&] { return newest_row() == number; }, 10000);
    }

    void end_by_signal_while_frames_arrive(int signal_number);

    watched_receiver receiver;
    frame_stream stream;
};

// Termination is held off while a frame is being handled, so whatever frame
// the terminal showed was logged first, and the exit path puts the
// terminal's modes back even though the process dies of the signal.
void ReceiverUnderFaults::end_by_signal_while_frames_arrive(int signal_number)
{
    start(25, 80);
    start_frame_stream(stream, 0, 2ms);
    ASSERT_TRUE(wait_until(receiver, [&] { return newest_row() >= 20; }, 10000)) << row_text(receiver, 10);
    ASSERT_EQ(kill(receiver.process.pid, signal_number), 0);
    const int status = wait_for_end(receiver, 5000);
    stop_frame_stream(stream);

    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal_number) << "wait status " << status;
    EXPECT_TRUE(same_modes(terminal_modes_now(receiver.process), receiver.process.modes_at_start));
    EXPECT_TRUE(vterm_cursor_visible(receiver.screen));
    const int shown = newest_row();
    ASSERT_GE(shown, 20) << row_text(receiver, 10);
    std::vector<int> logged;
    ASSERT_TRUE(holds_numbered_lines_in_order(read_log(receiver.process.directory), logged));
    EXPECT_TRUE(std::binary_search(logged.begin(), logged.end(), shown)) << "frame " << shown << " was shown, not logged";
    EXPECT_LT(logged.back(), stream.next.load());
}

TEST_F(ReceiverUnderFaults, SigtermWhileFramesArriveLeavesTerminalModesAndWholeLogLines)
{
    end_by_signal_while_frames_arrive(SIGTERM);
}

TEST_F(ReceiverUnderFaults, SighupWhileFramesArriveLeavesTerminalModesAndWholeLogLines)
{
    end_by_signal_while_frames_arrive(SIGHUP);
}

// Sizes down to a single cell and up to far beyond the layout, hundreds of
// times, each change racing the frames' output. A terminal keeps what it can
// across a change, so only a repaint from the model can put it right; the
// final size is none of the storm's, so the receiver cannot miss it.
TEST_F(ReceiverUnderFaults, ResizeStormEndsWithTheTerminalShowingTheModel)
{
    start(25, 80);
    start_frame_stream(stream, 0, 1ms);
    struct size {
        int rows, columns;
    };
    const size sizes[] = {{1, 1},   {2, 3},  {100, 300}, {25, 80},  {3, 2},  {9, 79},
                          {10, 80}, {60, 200}, {1, 300},  {100, 1}, {24, 81}, {7, 12}};
    std::minstd_rand pick(2024);
    for (int change = 0; change < 300; ++change) {
        const size next = sizes[pick() % std::size(sizes)];
        resize_vterm_screen(receiver.screen, next.rows, next.columns);
        resize_terminal(receiver.process, next.rows, next.columns);
        watch_for(receiver, 3);
    }
    stop_frame_stream(stream);
    ASSERT_TRUE(wait_for_quiet(receiver, 200, 10000));
    ASSERT_TRUE(running(receiver.process));

    const std::size_t before_final_size = receiver.process.output.size();
    resize_vterm_screen(receiver.screen, 31, 97);
    resize_terminal(receiver.process, 31, 97);
    const int last = stream.next;
    send_datagram(numbered_frame(last));
    ASSERT_TRUE(wait_for_newest_row(last)) << row_text(receiver, 10);
    ASSERT_TRUE(wait_for_quiet(receiver, 100, 5000));
    const std::size_t repaint = last_repaint(receiver);
    EXPECT_TRUE(repaint != byte_string::npos && repaint >= before_final_size) << "no repaint for the final size";
    EXPECT_TRUE(shows_its_last_repaint(receiver));
    EXPECT_NE(row_text(receiver, 6).find("\"" + numbered_frame(last) + "\" -> CRC OK!"), byte_string::npos)
        << row_text(receiver, 6);

    const int status = end_with_escape(receiver, numbered_frame(last + 1));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::vector<int> logged;
    ASSERT_TRUE(holds_numbered_lines_in_order(read_log(receiver.process.directory), logged));
    ASSERT_GE(logged.size(), 2u);
    EXPECT_EQ(logged[logged.size() - 2], last);
    EXPECT_EQ(logged.back(), last + 1);
}

// A terminal may report any size up to 65535 by 65535; the receiver covers
// a bounded corner of it and goes on receiving and logging, without the
// gigabytes a model of the whole would take.
TEST_F(ReceiverUnderFaults, AbsurdTerminalSizeCostsBoundedMemoryAndReceivingGoesOn)
{
    start(25, 80);
    ASSERT_TRUE(wait_for_quiet(receiver, 100, 5000));
    const long start_kib = memory_kib(receiver.process, "VmRSS");
    resize_terminal(receiver.process, 65535, 65535);  // the emulator keeps its size: only the log is read
    for (int number = 0; number < 20; ++number) {
        send_datagram(numbered_frame(number));
        watch_for(receiver, 20);
    }
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (read_log(receiver.process.directory).lines.size() < 20 && std::chrono::steady_clock::now() < deadline) {
        watch_for(receiver, 50);
    }
    ASSERT_TRUE(running(receiver.process));
    EXPECT_TRUE(memory_stayed_bounded(receiver.process, start_kib));
    std::vector<int> logged;
    ASSERT_TRUE(holds_numbered_lines_in_order(read_log(receiver.process.directory), logged));
    EXPECT_EQ(logged.size(), 20u);

    resize_vterm_screen(receiver.screen, 25, 80);
    resize_terminal(receiver.process, 25, 80);
    const int status = end_with_escape(receiver, numbered_frame(20));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// The test stops reading the terminal. Frames go in bursts no larger than
// the socket queue holds, each only once the log holds the one before: the
// receiver cannot drop one, and a log that stops growing means logging
// waited on the display. The output it could not hand over meanwhile, many
// times its bound, must not have been kept; once the terminal takes output
// again it gets a repaint of the model.
TEST_F(ReceiverUnderFaults, StalledTerminalHoldsUpNeitherReceivingNorLogging)
{
    start(25, 80);
    ASSERT_TRUE(wait_for_quiet(receiver, 100, 5000));
    const long start_kib = memory_kib(receiver.process, "VmRSS");
    const std::size_t stalled_at = receiver.process.output.size();

    constexpr int frames = 20000;
    constexpr int burst = 50;
    const int socket_fd = open_sending_socket();
    ASSERT_GE(socket_fd, 0);
    long long logged_bytes = 0;
    for (int number = 0; number < frames && !HasFailure();) {
        for (const int end = number + burst; number < end; ++number) {
            EXPECT_TRUE(send_on(socket_fd, numbered_frame(number)));
            logged_bytes += static_cast<long long>(numbered_log_line(number).size() + 2);
        }
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (log_size(receiver.process.directory) < logged_bytes && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(200us);
        }
        EXPECT_EQ(log_size(receiver.process.directory), logged_bytes) << "the log stopped at frame " << number;
    }
    close(socket_fd);
    ASSERT_FALSE(HasFailure());
    ASSERT_TRUE(running(receiver.process));
    EXPECT_TRUE(memory_stayed_bounded(receiver.process, start_kib));

    // Reading again: the next frame's pass hands over the repaint.
    ASSERT_TRUE(wait_for_quiet(receiver, 100, 10000));
    send_datagram(numbered_frame(frames));
    ASSERT_TRUE(wait_for_newest_row(frames)) << row_text(receiver, 10);
    ASSERT_TRUE(wait_for_quiet(receiver, 100, 5000));
    const std::size_t repaint = last_repaint(receiver);
    EXPECT_TRUE(repaint != byte_string::npos && repaint > stalled_at) << "no repaint after the stall";
    EXPECT_TRUE(shows_its_last_repaint(receiver));
    EXPECT_EQ(row_text(receiver, 7), border);
    EXPECT_EQ(row_text(receiver, 8), header);
    EXPECT_EQ(row_text(receiver, 9), border);
    EXPECT_EQ(number_of_table_row(row_text(receiver, 11)), frames - 1);

    const int status = end_with_escape(receiver, numbered_frame(frames + 1));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::vector<int> logged;
    ASSERT_TRUE(holds_numbered_lines_in_order(read_log(receiver.process.directory), logged));
    EXPECT_EQ(logged.size(), static_cast<std::size_t>(frames + 2)) << "every frame, in order";
}

}  // namespace
