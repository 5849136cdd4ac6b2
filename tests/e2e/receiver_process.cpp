#include "e2e/receiver_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "pseudo_terminal.h"

namespace {

using clock_type = std::chrono::steady_clock;

int remaining_ms(clock_type::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

std::string make_scratch_directory()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/zarim-e2e-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
        return "/tmp";
    }
    return pattern;
}

std::string receiver_path()
{
    const char* build = std::getenv("ZARIM_BUILD_DIR");
    return std::string(build != nullptr ? build : "build") + "/zarim";
}

void start_receiver(receiver_process& receiver, int rows, int columns, const std::string& directory,
                    const std::string& program, const std::vector<std::string>& arguments)
{
    receiver.directory = directory;
    std::string slave_path;
    const int master = open_sized_pseudo_terminal(rows, columns, slave_path);
    ASSERT_GE(master, 0) << std::strerror(errno);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    receiver.probe = open(slave_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(receiver.probe, 0) << std::strerror(errno);
    ASSERT_EQ(tcgetattr(receiver.probe, &receiver.modes_at_start), 0) << std::strerror(errno);

    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (!enter_terminal_session(slave_path, directory)) _exit(126);
        // A sanitized receiver would otherwise hold freed memory back by the
        // hundred megabytes, and its memory use would say nothing.
        const char* sanitizer = std::getenv("ASAN_OPTIONS");
        const std::string options = std::string(sanitizer != nullptr ? sanitizer : "") +
                                    ":quarantine_size_mb=1:thread_local_quarantine_size_kb=64";
        setenv("ASAN_OPTIONS", options.c_str(), 1);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    receiver.pid = pid;
    receiver.terminal = master;
}

byte_string read_output(receiver_process& receiver, int milliseconds)
{
    byte_string got;
    const auto deadline = clock_type::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        pollfd wait{receiver.terminal, POLLIN, 0};
        const int ready = poll(&wait, 1, remaining_ms(deadline));
        if (ready <= 0) break;
        char buffer[65536];
        const ssize_t n = read(receiver.terminal, buffer, sizeof buffer);
        if (n <= 0) break;  // EIO once the receiver has closed its side
        got.append(buffer, static_cast<std::size_t>(n));
    }
    receiver.output += got;
    return got;
}

void type_keys(receiver_process& receiver, byte_view keys)
{
    ASSERT_EQ(write(receiver.terminal, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
}

void send_datagram(byte_view payload)
{
    const int fd = open_sending_socket();
    ASSERT_GE(fd, 0) << std::strerror(errno);
    const bool sent = send_on(fd, payload);
    const int reason = errno;
    close(fd);
    ASSERT_TRUE(sent) << std::strerror(reason);
}

int open_sending_socket()
{
    return socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

bool send_on(int socket_fd, byte_view payload)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(3000);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ssize_t sent = -1;
    do {
        sent = sendto(socket_fd, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&address),
                      sizeof address);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(payload.size());
}

void resize_terminal(receiver_process& receiver, int rows, int columns)
{
    winsize size{};
    size.ws_row = static_cast<unsigned short>(rows);
    size.ws_col = static_cast<unsigned short>(columns);
    ASSERT_EQ(ioctl(receiver.terminal, TIOCSWINSZ, &size), 0);
}

int wait_for_exit(receiver_process& receiver, int milliseconds)
{
    const auto deadline = clock_type::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(receiver.pid, &status, WNOHANG);
        if (done == receiver.pid) {
            receiver.pid = -1;
            read_output(receiver, 0);
            return status;
        }
        if (remaining_ms(deadline) == 0) break;
        read_output(receiver, 20);  // keep the terminal drained meanwhile
    }
    stop_receiver(receiver);
    return -1;
}

void stop_receiver(receiver_process& receiver)
{
    if (receiver.pid > 0) {
        kill(receiver.pid, SIGKILL);
        waitpid(receiver.pid, nullptr, 0);
        receiver.pid = -1;
    }
    if (receiver.terminal >= 0) {
        close(receiver.terminal);
        receiver.terminal = -1;
    }
    if (receiver.probe >= 0) {
        close(receiver.probe);
        receiver.probe = -1;
    }
}

termios terminal_modes_now(const receiver_process& receiver)
{
    termios modes{};
    EXPECT_EQ(tcgetattr(receiver.probe, &modes), 0) << std::strerror(errno);
    return modes;
}

long cpu_ticks(const receiver_process& receiver)
{
    std::ifstream stat("/proc/" + std::to_string(receiver.pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // The command name may hold spaces; the fields after it are fixed.
    const auto close_paren = text.rfind(')');
    if (close_paren == std::string::npos) return -1;
    std::istringstream fields(text.substr(close_paren + 2));
    std::string field;
    long utime = 0;
    long stime = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14) utime = std::stol(field);
        if (index == 15) {
            stime = std::stol(field);
            break;
        }
    }
    return utime + stime;
}

long memory_kib(const receiver_process& receiver, const std::string& field)
{
    std::ifstream status("/proc/" + std::to_string(receiver.pid) + "/status");
    const std::string label = field + ":";
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with(label)) return std::stol(line.substr(label.size()));
    }
    return -1;
}

testing::AssertionResult memory_stayed_bounded(const receiver_process& receiver, long start_kib)
{
    constexpr long growth_limit_kib = 4 * 1024;
#if defined(__SANITIZE_ADDRESS__)
    constexpr long total_limit_kib = 0;  // shadow memory and allocator caches make totals meaningless
#else
    constexpr long total_limit_kib = 8 * 1024;
#endif
    const long peak = memory_kib(receiver, "VmHWM");
    if (peak < 0 || start_kib < 0) return testing::AssertionFailure() << "no memory figures for the receiver";
    testing::AssertionResult result =
        peak - start_kib <= growth_limit_kib && (total_limit_kib == 0 || peak <= total_limit_kib)
            ? testing::AssertionSuccess()
            : testing::AssertionFailure();
    return result << "peak " << peak << " KiB after " << start_kib << " KiB at the start";
}
