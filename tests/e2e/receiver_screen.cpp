#include "e2e/receiver_screen.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace {

void pump(watched_receiver& receiver, int milliseconds)
{
    read_output(receiver.process, milliseconds);
    const byte_string& output = receiver.process.output;
    if (receiver.fed == output.size()) return;
    feed_vterm(receiver.screen, byte_view(output).substr(receiver.fed));
    receiver.fed = output.size();
    const byte_string answers = take_vterm_answers(receiver.screen);
    if (!answers.empty() && receiver.process.pid > 0) type_keys(receiver.process, answers);
}

int colour_of(const vterm_colour& colour, int default_number)
{
    return colour.is_default ? default_number : console_colour_number(colour);
}

}  // namespace

void start_watched(watched_receiver& receiver, int rows, int columns, const std::string& directory)
{
    open_vterm_screen(receiver.screen, rows, columns);
    start_receiver(receiver.process, rows, columns, directory);
}

bool wait_until(watched_receiver& receiver, const std::function<bool()>& done, int milliseconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        pump(receiver, 20);
    }
    return true;
}

bool wait_for_fixed_screen(watched_receiver& receiver)
{
    return wait_until(
        receiver, [&] { return row_text(receiver, 8).starts_with("| Frame |"); }, 10000);
}

byte_string row_text(const watched_receiver& receiver, int row)
{
    byte_string text = vterm_row_text(receiver.screen, row);
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

int foreground_at(const watched_receiver& receiver, int row, int column)
{
    return colour_of(vterm_cell_at(receiver.screen, row, column).foreground, 7);
}

int background_at(const watched_receiver& receiver, int row, int column)
{
    return colour_of(vterm_cell_at(receiver.screen, row, column).background, 0);
}

int wait_for_end(watched_receiver& receiver, int milliseconds)
{
    int status = -1;
    const bool ended = wait_until(
        receiver,
        [&] { return waitpid(receiver.process.pid, &status, WNOHANG) == receiver.process.pid; },
        milliseconds);
    if (!ended) {
        stop_receiver(receiver.process);
        return -1;
    }
    receiver.process.pid = -1;
    pump(receiver, 50);
    return status;
}

void watch_for(watched_receiver& receiver, int milliseconds)
{
    pump(receiver, milliseconds);
}

void feed_pending(watched_receiver& receiver)
{
    pump(receiver, 0);
}

bool wait_for_quiet(watched_receiver& receiver, int quiet_ms, int limit_ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        const std::size_t before = receiver.process.output.size();
        pump(receiver, quiet_ms);
        if (receiver.process.output.size() == before) return true;
    }
    return false;
}

int end_with_escape(watched_receiver& receiver, byte_view wake)
{
    type_keys(receiver.process, "\x1b");
    // Long enough that the ESC cannot be taken for the start of a sequence.
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    send_datagram(wake);
    return wait_for_end(receiver, 5000);
}

std::size_t last_repaint(const watched_receiver& receiver)
{
    // A repaint first puts the terminal into the modes the addressing
    // relies on; only the very first output does that too.
    constexpr byte_view known_modes = "\x1b[0m\x1b[r\x1b[?6l\x1b[4l\x1b[?25h";
    const byte_string& output = receiver.process.output;
    const std::size_t first = output.find(known_modes);
    const std::size_t last = output.rfind(known_modes);
    return last == first ? byte_string::npos : last;
}

testing::AssertionResult shows_its_last_repaint(const watched_receiver& receiver)
{
    const std::size_t start = last_repaint(receiver);
    if (start == byte_string::npos) return testing::AssertionFailure() << "no repaint in the output";
    const vterm_screen& seen = receiver.screen;
    vterm_screen fresh;
    open_vterm_screen(fresh, seen.rows, seen.columns);
    feed_vterm(fresh, byte_view(receiver.process.output).substr(start, receiver.fed - start));
    for (int row = 1; row <= seen.rows; ++row) {
        for (int column = 1; column <= seen.columns; ++column) {
            const vterm_cell a = vterm_cell_at(seen, row, column);
            const vterm_cell b = vterm_cell_at(fresh, row, column);
            if (a.code_point != b.code_point || !(a.foreground == b.foreground) ||
                !(a.background == b.background)) {
                return testing::AssertionFailure()
                       << "cell " << row << "," << column << " shows U+" << std::hex
                       << static_cast<unsigned>(a.code_point) << ", the repaint U+"
                       << static_cast<unsigned>(b.code_point) << std::dec << "; row " << row << " shows \""
                       << vterm_row_text(seen, row) << "\", the repaint \"" << vterm_row_text(fresh, row) << '"';
            }
        }
    }
    const vterm_position a = vterm_cursor(seen);
    const vterm_position b = vterm_cursor(fresh);
    if (a.row != b.row || a.column != b.column || vterm_cursor_visible(seen) != vterm_cursor_visible(fresh)) {
        return testing::AssertionFailure() << "cursor at " << a.row << "," << a.column << ", the repaint's at "
                                           << b.row << "," << b.column;
    }
    return testing::AssertionSuccess() << seen.rows << "x" << seen.columns << " screen from byte " << start;
}
