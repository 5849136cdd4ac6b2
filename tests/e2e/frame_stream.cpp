#include "e2e/frame_stream.h"

#include <unistd.h>

#include "e2e/frame_builder.h"
#include "e2e/receiver_process.h"

void start_frame_stream(frame_stream& stream, int first, std::chrono::microseconds interval)
{
    stream.next = first;
    stream.thread = std::jthread([&stream, interval](std::stop_token stop) {
        const int socket_fd = open_sending_socket();
        if (socket_fd < 0) return;
        // Paced from the start, so a late wake-up sends its frames at once
        // instead of stretching the whole stream.
        auto due = std::chrono::steady_clock::now();
        while (!stop.stop_requested()) {
            if (send_on(socket_fd, numbered_frame(stream.next))) ++stream.next;
            due += interval;
            std::this_thread::sleep_until(due);
        }
        close(socket_fd);
    });
}

void stop_frame_stream(frame_stream& stream)
{
    stream.thread.request_stop();
    if (stream.thread.joinable()) stream.thread.join();
}
