#include "udp_sender.h"

#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tool_output.h"

bool open_udp_sender(const std::string& host, std::uint16_t port, udp_sender& sender,
                     std::string& problem)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const int looked_up = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (looked_up != 0 || found == nullptr) {
        const std::string why = looked_up == EAI_SYSTEM ? error_text(errno) : gai_strerror(looked_up);
        problem = "cannot resolve host '" + host + "': " + why;
        if (found != nullptr) freeaddrinfo(found);
        return false;
    }
    // AF_INET was asked for, so the address is a sockaddr_in; copied rather
    // than cast, as the two types may not alias.
    sender.target = sockaddr_in{};
    std::memcpy(&sender.target, found->ai_addr,
                found->ai_addrlen < sizeof sender.target ? found->ai_addrlen : sizeof sender.target);
    sender.target.sin_family = AF_INET;
    sender.target.sin_port = htons(port);
    freeaddrinfo(found);

    sender.socket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sender.socket < 0) {
        problem = "cannot open a UDP socket: " + error_text(errno);
        return false;
    }
    const int allow = 1;
    if (setsockopt(sender.socket, SOL_SOCKET, SO_BROADCAST, &allow, sizeof allow) != 0) {
        problem = "cannot allow broadcast on the socket: " + error_text(errno);
        close_udp_sender(sender);
        return false;
    }
    return true;
}

int send_datagram(const udp_sender& sender, std::string_view payload)
{
    for (;;) {
        const ssize_t sent = sendto(sender.socket, payload.data(), payload.size(), 0,
                                    reinterpret_cast<const sockaddr*>(&sender.target),
                                    sizeof sender.target);
        if (sent >= 0) return static_cast<std::size_t>(sent) == payload.size() ? 0 : EMSGSIZE;
        if (errno != EINTR) return errno;
    }
}

void close_udp_sender(udp_sender& sender)
{
    if (sender.socket >= 0) (void)close(sender.socket);  // nothing is buffered to lose
    sender.socket = -1;
}
