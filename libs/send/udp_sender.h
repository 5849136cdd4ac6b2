// One IPv4 datagram socket aimed at the receiver.
#pragma once

#include <cstdint>
#include <netinet/in.h>
#include <string>
#include <string_view>

struct udp_sender {
    int socket = -1;
    sockaddr_in target{};
};

// Resolves `host` (a name or a dotted address) and opens the socket, with
// broadcast allowed so that a broadcast address works too. On failure
// returns false with `problem` set and nothing left open.
bool open_udp_sender(const std::string& host, std::uint16_t port, udp_sender& sender,
                     std::string& problem);

// One datagram with the whole text. Returns 0 or the errno of the failure.
int send_datagram(const udp_sender& sender, std::string_view payload);

void close_udp_sender(udp_sender& sender);
