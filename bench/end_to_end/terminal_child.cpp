#include "terminal_child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "pseudo_terminal.h"

namespace {

// The receiver asks where the cursor is at start, and for the device
// attributes to mark the end of the answer, and waits a while for both;
// giving them keeps every run's start short.
constexpr char cursor_query[] = "\x1b[6n";

void drain_terminal(terminal_child& child, int rows)
{
    char answer[48];
    const int answer_length = std::snprintf(answer, sizeof answer, "\x1b[%d;1R\x1b[?1;2c", rows);
    char buffer[65536];
    while (!child.stop.load(std::memory_order_relaxed)) {
        pollfd watch{child.terminal, POLLIN, 0};
        const int ready = poll(&watch, 1, 100);
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        const ssize_t got = read(child.terminal, buffer, sizeof buffer);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got <= 0) break;  // EIO: every slave descriptor is closed
        child.bytes.fetch_add(static_cast<std::uint64_t>(got), std::memory_order_relaxed);
        if (memmem(buffer, static_cast<std::size_t>(got), cursor_query, sizeof cursor_query - 1) != nullptr &&
            write(child.terminal, answer, static_cast<std::size_t>(answer_length)) < 0) {
            break;
        }
    }
}

bool read_file(const std::string& path, std::string& text)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buffer[4096];
    text.clear();
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        text.append(buffer, static_cast<std::size_t>(got));
    }
    close(fd);
    return !text.empty();
}

}  // namespace

bool start_on_terminal(terminal_child& child, const std::string& program, const std::string& directory,
                       int rows, int columns, std::string& problem)
{
    return start_command_on_terminal(child, {program}, {}, directory, rows, columns, problem);
}

bool start_command_on_terminal(terminal_child& child, const std::vector<std::string>& command,
                               const std::vector<std::string>& environment, const std::string& directory,
                               int rows, int columns, std::string& problem)
{
    if (command.empty()) {
        problem = "no program to start";
        return false;
    }
    // Made before the fork: the child only hands them on.
    std::vector<char*> arguments;
    for (const std::string& argument : command) arguments.push_back(const_cast<char*>(argument.c_str()));
    arguments.push_back(nullptr);
    std::string slave_path;
    const int master = open_sized_pseudo_terminal(rows, columns, slave_path);
    if (master < 0) {
        problem = std::string("no pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    const pid_t pid = fork();
    if (pid < 0) {
        problem = std::string("fork: ") + std::strerror(errno);
        close(master);
        return false;
    }
    if (pid == 0) {
        if (!enter_terminal_session(slave_path, directory)) _exit(126);
        for (const std::string& variable : environment) {
            if (putenv(const_cast<char*>(variable.c_str())) != 0) _exit(126);
        }
        execvp(arguments[0], arguments.data());
        _exit(127);
    }
    child.pid = pid;
    child.terminal = master;
    child.drain = std::thread(drain_terminal, std::ref(child), rows);
    return true;
}

bool type_bytes(terminal_child& child, const char* bytes, std::size_t length)
{
    return write(child.terminal, bytes, length) == static_cast<ssize_t>(length);
}

cpu_time child_cpu_time(pid_t pid)
{
    std::string text;
    if (!read_file("/proc/" + std::to_string(pid) + "/stat", text)) return {};
    // The command name may hold blanks; the fields after it are fixed, with
    // utime and stime the 14th and 15th of the line.
    const std::size_t close_paren = text.rfind(')');
    if (close_paren == std::string::npos) return {};
    const char* cursor = text.c_str() + close_paren + 2;
    unsigned long long value[15] = {};
    for (int field = 3; field <= 15; ++field) {
        char* end = nullptr;
        if (field == 3) {
            while (*cursor != '\0' && *cursor != ' ') ++cursor;  // the state letter
            continue;
        }
        value[field - 1] = std::strtoull(cursor, &end, 10);
        if (end == cursor) return {};
        cursor = end;
    }
    const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    return {static_cast<double>(value[13]) / ticks, static_cast<double>(value[14]) / ticks};
}

long peak_resident_kib(pid_t pid)
{
    std::string text;
    if (!read_file("/proc/" + std::to_string(pid) + "/status", text)) return 0;
    const std::size_t at = text.find("VmHWM:");
    return at == std::string::npos ? 0 : std::strtol(text.c_str() + at + 6, nullptr, 10);
}

int finish_child(terminal_child& child, int milliseconds)
{
    int status = -1;
    for (int waited = 0; child.pid > 0; waited += 10) {
        int got = 0;
        const pid_t done = waitpid(child.pid, &got, WNOHANG);
        if (done == child.pid || (done < 0 && errno != EINTR)) {
            status = done == child.pid ? got : -1;
            child.pid = -1;
            break;
        }
        if (waited >= milliseconds) {
            kill(child.pid, SIGKILL);
            waitpid(child.pid, nullptr, 0);
            child.pid = -1;
            break;
        }
        const timespec pause{0, 10000000};
        nanosleep(&pause, nullptr);
    }
    child.stop = true;
    if (child.drain.joinable()) child.drain.join();
    if (child.terminal >= 0) close(child.terminal);
    child.terminal = -1;
    return status;
}
