#include "console/size_signal.h"

#include <csignal>

namespace {

volatile std::sig_atomic_t size_signalled = 0;

void on_size_signal(int /*signal_number*/)
{
    size_signalled = 1;
}

}  // namespace

bool watch_size_signal()
{
    struct sigaction action {};
    action.sa_handler = on_size_signal;
    sigemptyset(&action.sa_mask);
    // Restarted calls keep a resize from failing a read or a write anywhere;
    // the waits that cannot be restarted resume on their own.
    action.sa_flags = SA_RESTART;
    return sigaction(SIGWINCH, &action, nullptr) == 0 && sigaction(SIGCONT, &action, nullptr) == 0;
}

bool take_size_signal()
{
    if (size_signalled == 0) {
        return false;
    }
    // Cleared before the size is asked, so that a change during the asking
    // is not lost.
    size_signalled = 0;
    return true;
}
