// A sender that keeps numbered frames coming at a steady pace from a thread
// of its own, as a tracker does while the test does something else to the
// receiver.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>

struct frame_stream {
    std::atomic<int> next{0};  // the number of the frame to be sent next
    std::jthread thread;
};

// Sends frames first, first + 1, ... one per `interval`, until stopped.
void start_frame_stream(frame_stream& stream, int first, std::chrono::microseconds interval);

// Stops and waits for the thread; `next` then says how many were sent.
void stop_frame_stream(frame_stream& stream);
