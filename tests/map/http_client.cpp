#include "map/http_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstring>

namespace {

int connect_to(std::uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool send_all(int fd, const std::string& bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

// Reads what is there within `milliseconds`; false at the end of the stream.
bool read_some(int fd, std::string& into, int milliseconds)
{
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, milliseconds) <= 0) return true;
    char buffer[65536];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    into.append(buffer, static_cast<std::size_t>(n));
    return true;
}

std::string lower(std::string text)
{
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Moves the complete chunks at the front of `raw` into `body`; true once
// the last (empty) chunk has come.
bool dechunk(std::string& raw, std::string& body)
{
    std::size_t at = 0;
    bool last = false;
    for (;;) {
        const std::size_t line_end = raw.find("\r\n", at);
        if (line_end == std::string::npos) break;
        const std::size_t size = std::stoul(raw.substr(at, line_end - at), nullptr, 16);
        if (raw.size() < line_end + 2 + size + 2) break;
        body.append(raw, line_end + 2, size);
        at = line_end + 2 + size + 2;
        if (size == 0) {
            last = true;
            break;
        }
    }
    raw.erase(0, at);
    return last;
}

}  // namespace

std::string http_response::header(const std::string& name) const
{
    const std::string wanted = lower(name) + ":";
    std::size_t at = 0;
    while (at < headers.size()) {
        const std::size_t end = headers.find("\r\n", at);
        const std::string line = headers.substr(at, end - at);
        if (lower(line).rfind(wanted, 0) == 0) {
            std::string value = line.substr(wanted.size());
            while (!value.empty() && value.front() == ' ') value.erase(0, 1);
            return value;
        }
        if (end == std::string::npos) break;
        at = end + 2;
    }
    return "";
}

http_response http_request(std::uint16_t port, const std::string& method, const std::string& target,
                           const std::string& extra_headers)
{
    http_response response;
    const int fd = connect_to(port);
    if (fd < 0) return response;
    const bool own_host = extra_headers.rfind("Host:", 0) == 0 || extra_headers.find("\r\nHost:") != std::string::npos;
    const std::string host = own_host ? "" : "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
    const std::string request =
        method + " " + target + " HTTP/1.1\r\n" + host + "Connection: close\r\n" + extra_headers + "\r\n";
    std::string raw;
    // To the end of the connection, or of the body when its length is given
    // (a server may keep the connection open after an error).
    const auto complete = [&raw] {
        const std::size_t head_end = raw.find("\r\n\r\n");
        if (head_end == std::string::npos) return false;
        http_response head;
        head.headers = raw.substr(0, head_end);
        const std::string length = head.header("Content-Length");
        return !length.empty() && raw.size() >= head_end + 4 + std::stoul(length);
    };
    if (send_all(fd, request)) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline && !complete() && read_some(fd, raw, 1000)) {
        }
    }
    ::close(fd);
    const std::size_t head_end = raw.find("\r\n\r\n");
    if (raw.rfind("HTTP/1.", 0) != 0 || head_end == std::string::npos) return response;
    response.status = std::stoi(raw.substr(9, 3));
    response.headers = raw.substr(0, head_end);
    std::string rest = raw.substr(head_end + 4);
    if (lower(response.header("Transfer-Encoding")) == "chunked") {
        dechunk(rest, response.body);
    } else {
        response.body = rest;
    }
    return response;
}

raw_exchange raw_requests(std::uint16_t port, const std::string& bytes, std::size_t expected)
{
    raw_exchange exchange;
    const int fd = connect_to(port);
    if (fd < 0) return exchange;
    while (exchange.sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + exchange.sent, bytes.size() - exchange.sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        exchange.sent += static_cast<std::size_t>(n);
    }
    std::string raw;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline && exchange.responses.size() < expected) {
        const std::size_t head_end = raw.find("\r\n\r\n");
        if (head_end != std::string::npos) {
            http_response response;
            response.headers = raw.substr(0, head_end);
            const std::string length = response.header("Content-Length");
            const std::size_t size = length.empty() ? 0 : std::stoul(length);
            if (raw.size() >= head_end + 4 + size) {
                response.status = std::stoi(raw.substr(9, 3));
                response.body = raw.substr(head_end + 4, size);
                raw.erase(0, head_end + 4 + size);
                exchange.responses.push_back(std::move(response));
                continue;
            }
        }
        if (!read_some(fd, raw, 1000)) {
            exchange.closed = true;
            break;
        }
    }
    if (!exchange.closed && exchange.responses.size() == expected) {
        // Whether the server ends the connection after the last answer.
        std::string more;
        exchange.closed = !read_some(fd, more, 300) && more.empty();
    }
    ::close(fd);
    return exchange;
}

http_response http_get(std::uint16_t port, const std::string& target, const std::string& extra_headers)
{
    return http_request(port, "GET", target, extra_headers);
}

event_stream::~event_stream()
{
    close();
}

int event_stream::open(std::uint16_t port, const std::string& target, const std::string& extra_headers)
{
    close();
    fd_ = connect_to(port);
    if (fd_ < 0) return 0;
    const std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                "\r\nAccept: text/event-stream\r\n" + extra_headers + "\r\n";
    if (!send_all(fd_, request)) return 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (raw_.find("\r\n\r\n") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        if (!read_some(fd_, raw_, 200)) break;
    }
    const std::size_t head_end = raw_.find("\r\n\r\n");
    if (raw_.rfind("HTTP/1.", 0) != 0 || head_end == std::string::npos) return 0;
    const int status = std::stoi(raw_.substr(9, 3));
    raw_.erase(0, head_end + 4);
    return status;
}

bool event_stream::fill(int milliseconds)
{
    if (fd_ < 0 || ended_) return false;
    if (!read_some(fd_, raw_, milliseconds)) ended_ = true;
    if (dechunk(raw_, text_)) ended_ = true;
    return !ended_;
}

std::vector<sse_event> event_stream::read(int milliseconds, std::size_t enough)
{
    std::vector<sse_event> events;
    std::size_t frames = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        for (sse_event& e : take_sse_events(text_)) {
            if (e.event == "frame") ++frames;
            events.push_back(std::move(e));
        }
        if (enough > 0 && frames >= enough) break;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || ended_) break;
        fill(static_cast<int>(std::min<long>(left.count(), 100)));
    }
    return events;
}

void event_stream::close()
{
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    raw_.clear();
    text_.clear();
    ended_ = false;
}
