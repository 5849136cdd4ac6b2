#include "console/key_input.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <vector>

#include "console/key_decoder.h"

namespace {

// One read takes a burst of typing whole, even a pasted line.
constexpr std::size_t read_size = 1024;

// While the start-up question waits for its answer, bytes are kept up to
// this many; a flood of typing past it means the answer is not waited for.
constexpr std::size_t answer_bytes_limit = 4096;

timespec as_timespec(std::int64_t microseconds)
{
    timespec result{};
    result.tv_sec = static_cast<time_t>(microseconds / 1000000);
    result.tv_nsec = static_cast<long>(microseconds % 1000000) * 1000;
    return result;
}

enum class key_wait { ready, time_up, failed };

// Waits until the keyboard has bytes, or until the monotonic `deadline_us`.
// A signal does not end the wait early.
key_wait wait_for_key_bytes(const key_input& input, std::int64_t deadline_us)
{
    for (;;) {
        const std::int64_t left = deadline_us - monotonic_us();
        if (left <= 0) {
            return key_wait::time_up;
        }
        pollfd watch{input.fd, POLLIN, 0};
        const timespec limit = as_timespec(left);
        const int ready = ppoll(&watch, 1, &limit, nullptr);
        if (ready > 0) {
            return key_wait::ready;  // a hang-up too: the read will tell
        }
        if (ready == 0) {
            return key_wait::time_up;
        }
        if (errno != EINTR) {
            return key_wait::failed;
        }
    }
}

// One read; 0 when nothing was ready after all, -1 when the terminal is
// gone (end of input, hang-up, error).
long read_some(const key_input& input, char* buffer, std::size_t size)
{
    ssize_t got = -1;
    do {
        got = ::read(input.fd, buffer, size);
    } while (got < 0 && errno == EINTR);
    if (got > 0) {
        return static_cast<long>(got);
    }
    return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
}

// The bytes of one read and when they came.
struct arrival {
    std::size_t end = 0;  // just past its last byte in the collected bytes
    std::int64_t at_us = 0;
};

// Hands the bytes collected while asking to the queue, read by read, all
// but the span [cut, cut_end) of the answer.
void keep_typed_bytes(key_queue& queue, byte_view bytes, const std::vector<arrival>& arrivals, std::size_t cut,
                      std::size_t cut_end)
{
    std::size_t begin = 0;
    for (const arrival& read : arrivals) {
        if (begin < cut) {
            add_key_bytes(queue, bytes.substr(begin, std::min(read.end, cut) - begin), read.at_us);
        }
        if (read.end > cut_end) {
            const std::size_t from = std::max(begin, cut_end);
            add_key_bytes(queue, bytes.substr(from, read.end - from), read.at_us);
        }
        begin = read.end;
    }
}

}  // namespace

std::int64_t monotonic_us()
{
    timespec now{};
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
        return 0;  // cannot happen with this clock; every byte then counts as typed together
    }
    return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

int key_input_fd(const key_input& input)
{
    return input.gone ? -1 : input.fd;
}

bool read_key_bytes(key_input& input)
{
    if (key_input_fd(input) < 0) {
        return false;
    }
    char buffer[read_size];
    const long got = read_some(input, buffer, sizeof buffer);
    if (got < 0) {
        input.gone = true;
        return false;
    }
    add_key_bytes(input.queue, byte_view(buffer, static_cast<std::size_t>(got)), monotonic_us());
    return true;
}

byte_string next_key(key_input& input)
{
    key_queue& queue = input.queue;
    while (queue.count == 0 && !queue.unfinished.empty()) {
        // Only the start of a sequence waits: its rest may still come within
        // the gap, and an ESC stands alone only once the gap has passed.
        settle_keys(queue, monotonic_us());
        if (queue.count > 0 || queue.unfinished.empty()) {
            break;
        }
        const key_wait waited = key_input_fd(input) >= 0
                                    ? wait_for_key_bytes(input, queue.unfinished_at_us + key_gap_us)
                                    : key_wait::failed;
        if (waited == key_wait::failed || (waited == key_wait::ready && !read_key_bytes(input))) {
            settle_keys(queue);  // nothing more can come
        }
    }
    return take_key(queue);
}

void sleep_reading_keys(key_input& input, int milliseconds)
{
    const std::int64_t deadline = monotonic_us() + std::int64_t{milliseconds} * 1000;
    while (key_input_fd(input) >= 0) {
        const key_wait waited = wait_for_key_bytes(input, deadline);
        if (waited == key_wait::time_up) {
            return;
        }
        if (waited == key_wait::failed || !read_key_bytes(input)) {
            break;
        }
    }
    for (;;) {
        const std::int64_t left = deadline - monotonic_us();
        if (left <= 0) {
            return;
        }
        const timespec pause = as_timespec(left);
        if (nanosleep(&pause, nullptr) == 0 || errno != EINTR) {
            return;
        }
    }
}

bool ask_cursor_position(key_input& input, int output_fd, int milliseconds, int& row, int& column)
{
    if (key_input_fd(input) < 0 || output_fd < 0) {
        return false;
    }
    // The second question only marks where the answer to the first ends.
    constexpr byte_view questions = "\x1b[6n\x1b[c";
    ssize_t written = -1;
    do {
        written = ::write(output_fd, questions.data(), questions.size());
    } while (written < 0 && errno == EINTR);
    if (written != static_cast<ssize_t>(questions.size())) {
        return false;
    }
    byte_string bytes;
    std::vector<arrival> arrivals;
    position_answer answer;
    const std::int64_t deadline = monotonic_us() + std::int64_t{milliseconds} * 1000;
    while (!answer.complete && bytes.size() < answer_bytes_limit &&
           wait_for_key_bytes(input, deadline) == key_wait::ready) {
        char buffer[read_size];
        const long got = read_some(input, buffer, sizeof buffer);
        if (got < 0) {
            input.gone = true;
            break;
        }
        if (got > 0) {
            bytes.append(buffer, static_cast<std::size_t>(got));
            arrivals.push_back(arrival{bytes.size(), monotonic_us()});
            answer = find_position_answer(bytes);
        }
    }
    const std::size_t cut = answer.complete ? answer.start : bytes.size();
    keep_typed_bytes(input.queue, bytes, arrivals, cut, cut + (answer.complete ? answer.length : 0));
    if (!answer.has_position) {
        return false;
    }
    row = answer.row;
    column = answer.column;
    return true;
}
