#include "console/device.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "console/glyphs.h"
#include "console/size_signal.h"
#include "console/terminal_restore.h"

namespace {

constexpr int default_rows = 25;
constexpr int default_columns = 80;
constexpr int cursor_answer_ms = 200;
constexpr int closing_wait_ms = 200;

int open_with_retry(const char* path, int flags)
{
    int fd = -1;
    do {
        fd = ::open(path, flags);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

void close_with_retry(int fd)
{
    if (fd >= 0) {
        ::close(fd);  // not retried: on Linux the descriptor is gone either way
    }
}

// A descriptor for `target`'s terminal that never blocks. Opening the
// terminal anew gives a file description of our own, so the shell's
// standard output keeps its flags. Only where that fails is the shared one
// switched, and switched back on restore.
int open_output(int target, terminal_modes& found)
{
    char path[256] = {};
    if (ttyname_r(target, path, sizeof path) == 0) {
        const int fd = open_with_retry(path, O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            return fd;
        }
    }
    const int fd = fcntl(target, F_DUPFD_CLOEXEC, 3);
    if (fd < 0) {
        return -1;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        close_with_retry(fd);
        return -1;
    }
    found.flags_fd = fd;
    found.flags = flags;
    return fd;
}

void make_raw(termios& modes)
{
    modes.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL | ISIG | IEXTEN);
    modes.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP | BRKINT);
    modes.c_cc[VMIN] = 1;
    modes.c_cc[VTIME] = 0;
}

bool terminal_size(int fd, int& rows, int& columns)
{
    winsize size{};
    if (fd < 0 || ioctl(fd, TIOCGWINSZ, &size) != 0 || size.ws_row == 0 || size.ws_col == 0) {
        return false;
    }
    rows = size.ws_row;
    columns = size.ws_col;
    return true;
}

}  // namespace

bool open_console(console_device& console)
{
    close_console(console);
    console = console_device{};

    terminal_modes found;
    const int target = isatty(STDOUT_FILENO) ? STDOUT_FILENO : isatty(STDERR_FILENO) ? STDERR_FILENO : -1;
    const int output_fd = target >= 0 ? open_output(target, found) : -1;
    const int key_fd = open_with_retry("/dev/tty", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);

    termios modes{};
    if (key_fd >= 0 && tcgetattr(key_fd, &modes) == 0) {
        found.input_fd = key_fd;
        found.has_modes = true;
        found.modes = modes;
    }
    found.output_fd = output_fd;
    arm_terminal_restore(found);
    if (found.has_modes) {
        termios raw = modes;
        make_raw(raw);
        while (tcsetattr(key_fd, TCSANOW, &raw) != 0 && errno == EINTR) {
        }
    }

    // Only the controlling terminal signals its size changes; another one is
    // asked at every operation. The handler comes first, so that a change
    // just after the size is read here is not missed.
    const bool signalled = output_fd >= 0 && tcgetsid(output_fd) == getsid(0) && watch_size_signal();
    int rows = default_rows;
    int columns = default_columns;
    const bool sized = output_fd >= 0 && terminal_size(output_fd, rows, columns);
    if (sized) {
        console.size_fd = output_fd;
        console.size_follows_signal = signalled;
    }
    console.screen = make_screen(rows, columns);
    console.screen.cursor_row = console.screen.rows;
    console.keyboard.fd = key_fd;
    if (output_fd >= 0) {
        console.output.fd = output_fd;
        console.output.rows = sized ? rows : 0;
        console.output.columns = sized ? columns : 0;
        console.own_output_fd = output_fd;
        console.output.utf8 = locale_is_utf8(std::getenv("LC_ALL"), std::getenv("LC_CTYPE"), std::getenv("LANG"));
        int row = 0;
        int column = 0;
        if (ask_cursor_position(console.keyboard, output_fd, cursor_answer_ms, row, column)) {
            console.screen.cursor_row = std::clamp(row, 1, console.screen.rows);
            console.screen.cursor_column = std::clamp(column, 1, console.screen.columns);
        }
    }
    follow_cursor_for_restore(console);
    return output_fd >= 0;
}

void close_console(console_device& console)
{
    if (console.output.fd >= 0) {
        flush_console(console);
        drain_output(console.output, closing_wait_ms);
        console.output.fd = -1;
    }
    if (console.own_output_fd >= 0 || console.keyboard.fd >= 0) {
        follow_cursor_for_restore(console);
        restore_terminal();
        disarm_terminal_restore();
    }
    close_with_retry(console.own_output_fd);
    close_with_retry(console.keyboard.fd);
    console.own_output_fd = -1;
    console.keyboard.fd = -1;
    console.size_fd = -1;
    console.size_follows_signal = false;
}

void install_terminal_restore_handlers(console_device& console)
{
    follow_cursor_for_restore(console);
    install_restore_handlers();
}

void follow_cursor_for_restore(console_device& console)
{
    const screen_model& screen = console.screen;
    if (screen.cursor_row == console.restore_row && screen.cursor_column == console.restore_column) {
        return;
    }
    char bytes[restore_sequence_limit];
    set_restore_bytes(byte_view(bytes, write_restore_sequence(screen, bytes)));
    console.restore_row = screen.cursor_row;
    console.restore_column = screen.cursor_column;
}

void open_console_model(console_device& console, int rows, int columns)
{
    close_console(console);
    console = console_device{};
    console.screen = make_screen(rows, columns);
}

void attach_terminal_output(console_device& console, int fd, bool utf8)
{
    console.output = terminal_output{};
    console.output.fd = fd;
    console.output.utf8 = utf8;
}
