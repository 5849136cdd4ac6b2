#include "console/terminal_restore.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <exception>

namespace {

// Two byte buffers, one being filled while a handler may read the other.
struct restore_text {
    char bytes[64];
    std::size_t length;
};

struct restore_record {
    terminal_modes found;
    restore_text texts[2]{};
    volatile std::sig_atomic_t current_text = 0;
    volatile std::sig_atomic_t armed = 0;
};

restore_record record;

constexpr std::array<int, 7> handled_signals = {SIGTERM, SIGHUP, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
std::array<struct sigaction, handled_signals.size()> previous_actions{};
std::terminate_handler previous_terminate = nullptr;
bool handlers_installed = false;

void write_all(int fd, const char* bytes, std::size_t length)
{
    // A few tries only: the descriptor never blocks, and a stalled terminal
    // must not keep a dying program alive.
    for (int tries = 0; length > 0 && tries < 8; ++tries) {
        const ssize_t written = ::write(fd, bytes, length);
        if (written > 0) {
            bytes += written;
            length -= static_cast<std::size_t>(written);
        } else if (written < 0 && errno != EINTR) {
            return;
        }
    }
}

void on_signal(int signal_number)
{
    const int saved_errno = errno;
    restore_terminal();
    for (std::size_t i = 0; i < handled_signals.size(); ++i) {
        if (handled_signals[i] == signal_number) {
            if (sigaction(signal_number, &previous_actions[i], nullptr) != 0) {
                // The raise below would only bring us back here.
                _exit(128 + signal_number);
            }
        }
    }
    errno = saved_errno;
    // Delivered with the previous action as soon as this handler returns.
    if (raise(signal_number) != 0) {
        _exit(128 + signal_number);
    }
}

void on_terminate()
{
    restore_terminal();
    if (previous_terminate != nullptr) {
        previous_terminate();
    }
    std::abort();
}

void at_exit()
{
    restore_terminal();
}

}  // namespace

void arm_terminal_restore(const terminal_modes& found)
{
    record.armed = 0;
    record.found = found;
    record.texts[0].length = 0;
    record.texts[1].length = 0;
    record.armed = 1;
}

void set_restore_bytes(byte_view bytes)
{
    const int next = 1 - record.current_text;
    restore_text& text = record.texts[next];
    text.length = bytes.size() < sizeof text.bytes ? bytes.size() : sizeof text.bytes;
    std::memcpy(text.bytes, bytes.data(), text.length);
    record.current_text = next;
}

void restore_terminal()
{
    if (record.armed == 0) {
        return;
    }
    record.armed = 0;
    const terminal_modes& found = record.found;
    if (found.output_fd >= 0) {
        const restore_text& text = record.texts[record.current_text];
        write_all(found.output_fd, text.bytes, text.length);
    }
    if (found.has_modes && found.input_fd >= 0) {
        while (tcsetattr(found.input_fd, TCSANOW, &found.modes) != 0 && errno == EINTR) {
        }
    }
    if (found.flags_fd >= 0) {
        fcntl(found.flags_fd, F_SETFL, found.flags);
    }
}

void disarm_terminal_restore()
{
    record.armed = 0;
    record.found = terminal_modes{};
}

void install_restore_handlers()
{
    if (handlers_installed) {
        return;
    }
    handlers_installed = true;
    for (std::size_t i = 0; i < handled_signals.size(); ++i) {
        struct sigaction current {};
        if (sigaction(handled_signals[i], nullptr, &current) != 0) {
            continue;
        }
        previous_actions[i] = current;
        if (current.sa_handler == SIG_IGN) {
            continue;  // ignored by whoever started us (nohup): leave it so
        }
        struct sigaction ours {};
        ours.sa_handler = on_signal;
        sigemptyset(&ours.sa_mask);
        ours.sa_flags = 0;
        sigaction(handled_signals[i], &ours, nullptr);
    }
    previous_terminate = std::set_terminate(on_terminate);
    // Without it only an exit() from elsewhere misses the restore; the
    // normal end restores by itself.
    (void)std::atexit(at_exit);
}
