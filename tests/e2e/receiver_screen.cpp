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

void start_watched(watched_receiver& receiver, int rows, int columns)
{
    open_vterm_screen(receiver.screen, rows, columns);
    start_receiver(receiver.process, rows, columns, make_scratch_directory());
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

void feed_pending(watched_receiver& receiver)
{
    pump(receiver, 0);
}

int end_with_escape(watched_receiver& receiver)
{
    type_keys(receiver.process, "\x1b");
    // Long enough that the ESC cannot be taken for the start of a sequence.
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    send_datagram("FFFF");
    return wait_for_end(receiver, 5000);
}
