#include "send_run.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <unistd.h>

#include "frame_corruption.h"
#include "frame_pacing.h"
#include "frame_source.h"
#include "tool_output.h"
#include "udp_sender.h"

namespace {

// The one piece of state a signal handler may touch.
volatile std::sig_atomic_t stop_requested = 0;

extern "C" void request_stop(int /*signal_number*/)
{
    stop_requested = 1;
}

// Without SA_RESTART, so that a signal also ends a sleep or a wait for input.
// An interrupt that was ignored when we started stays ignored: a shell
// starts background jobs that way, so that the Ctrl+C meant for the program
// in the foreground does not stop them too.
bool install_signal_handlers()
{
    struct sigaction action{};
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    struct sigaction ignore{};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    struct sigaction inherited{};
    if (sigaction(SIGINT, nullptr, &inherited) != 0) return false;
    if (inherited.sa_handler != SIG_IGN && sigaction(SIGINT, &action, nullptr) != 0) return false;
    // A closed output pipe shows up as EPIPE from write(), not as death.
    return sigaction(SIGTERM, &action, nullptr) == 0 && sigaction(SIGPIPE, &ignore, nullptr) == 0;
}

long double realtime_now()
{
    timespec now{};
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) return 0;
    return static_cast<long double>(now.tv_sec) + static_cast<long double>(now.tv_nsec) / 1e9L;
}

// Frames sent are echoed to standard output, written in chunks while the
// sender runs behind its schedule and at once while it has time to spare.
constexpr std::size_t echo_chunk = 32768;

bool flush_echo(std::string& echo)
{
    const int error = write_all(STDOUT_FILENO, echo);
    echo.clear();
    if (error != 0) report("cannot write standard output: " + error_text(error));
    return error == 0;
}

}  // namespace

int run_sender(const send_options& options)
{
    if (!install_signal_handlers()) {
        report("cannot install the signal handlers: " + error_text(errno));
        return 1;
    }
    udp_sender sender;
    std::string problem;
    if (!open_udp_sender(options.host, options.port, sender, problem)) {
        report(problem);
        return 1;
    }
    frame_source source;
    if (!open_frame_source(options, realtime_now(), source)) {
        close_udp_sender(sender);
        return 1;
    }

    random_source random{options.seed};
    frame_pacer pacer;
    if (options.speed != 0) {
        start_pacer_at_speed(pacer, options.speed);
    } else {
        start_pacer(pacer, options.rate);
    }
    rate_watch watch;
    bool warned = false;
    std::string echo;
    std::string text;
    int status = 0;
    for (std::uint64_t sent = 0; !options.count_given || sent < options.count; ++sent) {
        source_status next = source_status::skipped;
        while (next == source_status::skipped && !stop_requested) {
            next = next_frame_text(source, options, stop_requested, text);
            if (next == source_status::skipped) status = 1;
        }
        if (next == source_status::failure) status = 1;
        if (next != source_status::frame || stop_requested) break;

        if (should_corrupt(random, options.corrupt_percent)) corrupt_frame_text(text, random);
        if (options.speed != 0) time_next_frame(pacer, static_cast<long double>(source.clock.seconds));
        if (!warned && counts_beyond(watch, next_due_ns(pacer), lossless_rate)) {
            report("warning: more than " + decimal_text(lossless_rate) +
                   " frames a second; a receiver on a terminal may lose some");
            warned = true;
        }
        if (!echo.empty() && !frame_is_late(pacer) && !flush_echo(echo)) {
            status = 1;
            break;
        }
        if (!wait_for_frame(pacer, stop_requested)) break;
        if (const int error = send_datagram(sender, text); error != 0) {
            report("cannot send to " + options.host + " port " + decimal_text(options.port) + ": " +
                   error_text(error));
            status = 1;
            break;
        }
        echo.append(text);
        echo.push_back('\n');
        if (echo.size() >= echo_chunk && !flush_echo(echo)) {
            status = 1;
            break;
        }
    }
    if (!echo.empty() && !flush_echo(echo)) status = 1;
    close_frame_source(source);
    close_udp_sender(sender);
    return status;
}
