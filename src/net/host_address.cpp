#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "net/udp_endpoint.h"

namespace {

// Longer than any host name the resolver accepts.
inline constexpr std::size_t name_limit = 256;

}  // namespace

ipv4_address lookup_host_address(byte_view host_name, std::int32_t position)
{
    if (position < 1) {
        return 0;
    }
    char name[name_limit + 1] = {};
    if (host_name.empty()) {
        if (::gethostname(name, name_limit) != 0) {
            return 0;
        }
    } else {
        // A NUL inside the name would make the resolver see a shorter name.
        if (host_name.size() > name_limit || host_name.find('\0') != byte_view::npos) {
            return 0;
        }
        std::memcpy(name, host_name.data(), host_name.size());
    }

    // One socket type only, so that every address is listed once.
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* list = nullptr;
    if (::getaddrinfo(name, nullptr, &hints, &list) != 0) {
        return 0;
    }
    ipv4_address address = 0;
    std::int32_t index = 0;
    for (const addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family != AF_INET || entry->ai_addr == nullptr ||
            entry->ai_addrlen < sizeof(sockaddr_in)) {
            continue;
        }
        if (++index == position) {
            sockaddr_in found{};
            std::memcpy(&found, entry->ai_addr, sizeof found);
            address = found.sin_addr.s_addr;
            break;
        }
    }
    ::freeaddrinfo(list);
    return address;
}
