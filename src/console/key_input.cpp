#include "console/key_input.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "console/key_decoder.h"

namespace {

long milliseconds_since(const timespec& start)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
}

}  // namespace

std::size_t read_ready_bytes(key_input& input)
{
    if (input.fd < 0) {
        return 0;
    }
    std::size_t added = 0;
    // Asking first keeps a descriptor that happens to block from ever
    // holding the program up.
    while (input.pending.size() < input.limit && wait_for_bytes(input, 0)) {
        char buffer[512];
        const std::size_t room = input.limit - input.pending.size();
        const ssize_t got = ::read(input.fd, buffer, room < sizeof buffer ? room : sizeof buffer);
        if (got > 0) {
            input.pending.append(buffer, static_cast<std::size_t>(got));
            added += static_cast<std::size_t>(got);
            continue;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        break;  // nothing ready (EAGAIN), end of input, or a read error
    }
    return added;
}

bool wait_for_bytes(const key_input& input, int milliseconds)
{
    if (input.fd < 0) {
        return false;
    }
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        const long left = milliseconds - milliseconds_since(start);
        pollfd waiting{input.fd, POLLIN, 0};
        const int ready = poll(&waiting, 1, left > 0 ? static_cast<int>(left) : 0);
        if (ready > 0) {
            return (waiting.revents & POLLIN) != 0;
        }
        if (ready == 0 || errno != EINTR) {
            return false;
        }
    }
}

byte_string next_key(key_input& input)
{
    read_ready_bytes(input);
    bool nothing_follows = false;
    for (;;) {
        const key_parse parsed = parse_key(input.pending, nothing_follows);
        if (parsed.status == key_parse_status::empty) {
            return byte_string{};
        }
        if (parsed.status == key_parse_status::partial) {
            // The sequence may still be on its way; give it a moment.
            nothing_follows = !(wait_for_bytes(input, sequence_wait_ms) && read_ready_bytes(input) > 0);
            continue;
        }
        input.pending.erase(0, parsed.consumed);
        nothing_follows = false;
        if (!parsed.key.empty()) {
            return parsed.key;
        }
    }
}

bool ask_cursor_position(key_input& input, int output_fd, int milliseconds, int& row, int& column)
{
    if (input.fd < 0 || output_fd < 0) {
        return false;
    }
    constexpr char question[] = "\x1b[6n";
    ssize_t written = -1;
    do {
        written = ::write(output_fd, question, sizeof question - 1);
    } while (written < 0 && errno == EINTR);
    if (written != static_cast<ssize_t>(sizeof question - 1)) {
        return false;
    }
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        read_ready_bytes(input);
        const cursor_report report = find_cursor_report(input.pending);
        if (report.found) {
            input.pending.erase(report.start, report.length);
            row = report.row;
            column = report.column;
            return true;
        }
        const long left = milliseconds - milliseconds_since(start);
        if (left <= 0 || input.pending.size() >= input.limit || !wait_for_bytes(input, static_cast<int>(left))) {
            return false;
        }
    }
}
