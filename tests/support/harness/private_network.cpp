#include "private_network.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

// A fresh namespace has its loopback down, and 127.0.0.1 goes nowhere.
bool bring_loopback_up()
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    if (up) {
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
        up = ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    }
    close(fd);
    return up;
}

}  // namespace

bool enter_private_network()
{
    // A second unshare would leave the first namespace, and whatever was
    // bound there, behind.
    static const bool entered = geteuid() == 0 && unshare(CLONE_NEWNET) == 0 && bring_loopback_up();
    return entered;
}

bool port_3000_taken()
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return true;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(3000);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    const bool taken = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0;
    close(fd);
    return taken;
}

int make_network_namespace()
{
    if (geteuid() != 0) return -1;
    const int home = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (home < 0) return -1;
    int made = -1;
    if (unshare(CLONE_NEWNET) == 0) {
        if (bring_loopback_up()) made = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        if (setns(home, CLONE_NEWNET) != 0) {
            // A thread left in the wrong network would mislead every test after.
            std::abort();
        }
    }
    close(home);
    return made;
}

bool run_in_network(int network, const std::function<void()>& start)
{
    const int home = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (home < 0) return false;
    if (setns(network, CLONE_NEWNET) != 0) {
        close(home);
        return false;
    }
    start();
    const bool back = setns(home, CLONE_NEWNET) == 0;
    close(home);
    if (!back) std::abort();
    return true;
}
