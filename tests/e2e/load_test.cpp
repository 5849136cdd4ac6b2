// The receiver flooded with datagrams faster than it can take them: the
// kernel may drop what overflows the socket queue, the receiver must not
// fall over, grow, or leave a damaged log.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <random>
#include <thread>
#include <vector>

#include "e2e/frame_builder.h"
#include "e2e/receiver_log.h"
#include "e2e/receiver_screen.h"

namespace {

class ReceiverUnderLoad : public testing::Test {
protected:
    void SetUp() override
    {
        if (!enter_private_network() && port_3000_taken()) {
            GTEST_SKIP() << "UDP port 3000 is held on this machine and no private network can be had";
        }
    }
    void TearDown() override { stop_receiver(receiver.process); }

    // Starts the receiver and returns its resident size once it waits for frames.
    long start()
    {
        start_watched(receiver, 25, 80);
        EXPECT_TRUE(wait_for_fixed_screen(receiver)) << receiver.process.output;
        EXPECT_TRUE(wait_for_quiet(receiver, 100, 5000));
        return memory_kib(receiver.process, "VmRSS");
    }

    // Sends `count` datagrams from another thread as fast as it can, while
    // the terminal is read; then waits until the receiver has caught up.
    void flood(int count, const std::function<byte_string(int)>& payload)
    {
        std::atomic<bool> done{false};
        std::jthread sender([&] {
            const int socket_fd = open_sending_socket();
            for (int i = 0; socket_fd >= 0 && i < count; ++i) send_on(socket_fd, payload(i));
            if (socket_fd >= 0) close(socket_fd);
            done = true;
        });
        while (!done) watch_for(receiver, 20);
        sender.join();
        ASSERT_TRUE(wait_for_quiet(receiver, 300, 30000));
        int status = 0;
        ASSERT_EQ(waitpid(receiver.process.pid, &status, WNOHANG), 0) << "the receiver ended: " << status;
    }

    // A frame after the flood is shown and logged, and ESC still ends the
    // receiver normally.
    void end_with_frame(int number)
    {
        send_datagram(numbered_frame(number));
        ASSERT_TRUE(wait_until(
            receiver, [&] { return number_of_table_row(row_text(receiver, 10)) == number; }, 10000))
            << row_text(receiver, 10);
        const int status = end_with_escape(receiver, numbered_frame(number + 1));
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }

    watched_receiver receiver;
};

TEST_F(ReceiverUnderLoad, FloodOfValidFramesLeavesAWholeOrderedLog)
{
    const long start_kib = start();
    constexpr int frames = 100000;
    flood(frames, numbered_frame);
    EXPECT_TRUE(memory_stayed_bounded(receiver.process, start_kib));
    end_with_frame(frames);

    std::vector<int> logged;
    ASSERT_TRUE(holds_numbered_lines_in_order(read_log(receiver.process.directory), logged));
    ASSERT_GE(logged.size(), 2u);
    EXPECT_EQ(logged.back(), frames + 1);
    RecordProperty("frames_logged", static_cast<int>(logged.size()));
}

// The largest datagrams UDP carries, as text that fails the CRC test: each
// fills the status row and wraps across the whole screen many times over.
TEST_F(ReceiverUnderLoad, FloodOfLargestDatagramsLeavesTheReceiverWorking)
{
    const long start_kib = start();
    constexpr std::size_t largest = 65507;
    const byte_string hex_filled(largest, 'F');
    byte_string random_bytes(largest, '\0');
    std::minstd_rand bytes(99);
    for (char& byte : random_bytes) byte = static_cast<char>(bytes() & 0xFF);
    flood(2000, [&](int i) { return i % 2 == 0 ? hex_filled : random_bytes; });
    EXPECT_TRUE(memory_stayed_bounded(receiver.process, start_kib));
    end_with_frame(0);

    std::vector<int> logged;
    ASSERT_TRUE(holds_numbered_lines_in_order(read_log(receiver.process.directory), logged));
    EXPECT_EQ(logged, (std::vector<int>{0, 1})) << "only the two valid frames";
}

}  // namespace
