#include "tcp_relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

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

// Moves what `from` has to `to`; false once either side is gone.
bool pass_on(int from, int to)
{
    char buffer[16384];
    const ssize_t got = ::read(from, buffer, sizeof buffer);
    if (got <= 0) return false;
    for (ssize_t sent = 0; sent < got;) {
        const ssize_t put = ::send(to, buffer + sent, static_cast<std::size_t>(got - sent), MSG_NOSIGNAL);
        if (put <= 0) return false;
        sent += put;
    }
    return true;
}

}  // namespace

tcp_relay::tcp_relay(std::uint16_t target) : target_(target)
{
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        return;
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { run(); });
}

tcp_relay::~tcp_relay()
{
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) ::close(listener_);
}

void tcp_relay::run()
{
    struct link {
        int client;
        int broker;
    };
    std::vector<link> links;
    const auto drop = [](const link& l) {
        ::close(l.client);
        ::close(l.broker);
    };
    while (!stopping_) {
        if (cut_) {
            for (const link& l : links) drop(l);
            links.clear();
        }
        std::vector<pollfd> watched{{listener_, POLLIN, 0}};
        for (const link& l : links) {
            watched.push_back({l.client, POLLIN, 0});
            watched.push_back({l.broker, POLLIN, 0});
        }
        if (::poll(watched.data(), watched.size(), 50) <= 0) continue;
        std::vector<link> kept;
        for (std::size_t i = 0; i + 1 < watched.size(); i += 2) {
            const link& l = links[i / 2];
            const bool ok = (watched[i + 1].revents == 0 || pass_on(l.client, l.broker)) &&
                            (watched[i + 2].revents == 0 || pass_on(l.broker, l.client));
            if (ok) {
                kept.push_back(l);
            } else {
                drop(l);
            }
        }
        if ((watched[0].revents & POLLIN) != 0) {
            const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            const int broker = client >= 0 && !cut_ ? connect_to(target_) : -1;
            if (broker >= 0) {
                kept.push_back({client, broker});
            } else if (client >= 0) {
                ::close(client);
            }
        }
        links.swap(kept);
    }
    for (const link& l : links) drop(l);
}
