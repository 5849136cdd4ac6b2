#include "sender_process.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

std::string sender_path()
{
    const char* build = std::getenv("ZARIM_BUILD_DIR");
    return build != nullptr ? std::string(build) + "/zarim-send" : ZARIM_SEND_PATH;
}

int scratch_file(const std::string& content)
{
    char name[] = "/tmp/zarim_send_XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) return -1;
    unlink(name);
    if (write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) {
        close(fd);
        return -1;
    }
    lseek(fd, 0, SEEK_SET);
    return fd;
}

std::string file_content(int fd)
{
    std::string content;
    lseek(fd, 0, SEEK_SET);
    char buffer[4096];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) > 0) content.append(buffer, static_cast<std::size_t>(got));
    return content;
}

pid_t spawn(const std::vector<std::string>& arguments, int in, int out, int err)
{
    const std::string path = sender_path();
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        dup2(in, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        execv(path.c_str(), argv.data());
        _exit(127);
    }
    return child;
}

int status_of(int raw)
{
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

}  // namespace

loopback_receiver open_loopback_receiver()
{
    loopback_receiver receiver;
    receiver.fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    EXPECT_GE(receiver.fd, 0);
    const int room = 8 << 20;
    setsockopt(receiver.fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(receiver.fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    EXPECT_EQ(getsockname(receiver.fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
    receiver.port = ntohs(address.sin_port);
    return receiver;
}

void close_loopback_receiver(loopback_receiver& receiver)
{
    if (receiver.fd >= 0) close(receiver.fd);
    receiver.fd = -1;
}

std::vector<std::string> receive_all(const loopback_receiver& receiver, int quiet_ms, int first_ms)
{
    std::vector<std::string> datagrams;
    std::vector<char> buffer(65536);
    pollfd ready{receiver.fd, POLLIN, 0};
    while (poll(&ready, 1, datagrams.empty() ? first_ms : quiet_ms) > 0) {
        const ssize_t got = recv(receiver.fd, buffer.data(), buffer.size(), 0);
        if (got < 0) break;
        datagrams.emplace_back(buffer.data(), static_cast<std::size_t>(got));
    }
    return datagrams;
}

sender_result run_sender_binary(const std::vector<std::string>& arguments, const std::string& input)
{
    sender_result result;
    const int in = scratch_file(input);
    const int out = scratch_file("");
    const int err = scratch_file("");
    const pid_t child = spawn(arguments, in, out, err);
    int raw = 0;
    if (child > 0 && waitpid(child, &raw, 0) == child) result.status = status_of(raw);
    result.out = file_content(out);
    result.err = file_content(err);
    close(in);
    close(out);
    close(err);
    return result;
}

pid_t start_sender_binary(const std::vector<std::string>& arguments)
{
    const int in = open("/dev/null", O_RDONLY);
    const int out = open("/dev/null", O_WRONLY);
    const pid_t child = spawn(arguments, in, out, out);
    close(in);
    close(out);
    return child;
}

int wait_for_sender(pid_t child, int timeout_ms)
{
    for (int waited = 0; waited <= timeout_ms; waited += 10) {
        int raw = 0;
        if (waitpid(child, &raw, WNOHANG) == child) return status_of(raw);
        const timespec pause{0, 10000000};
        nanosleep(&pause, nullptr);
    }
    return -1;
}
