#include "pseudo_terminal.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

int open_sized_pseudo_terminal(int rows, int columns, std::string& slave_path)
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) return -1;
    const char* name = grantpt(master) == 0 && unlockpt(master) == 0 ? ptsname(master) : nullptr;
    winsize size{};
    size.ws_row = static_cast<unsigned short>(rows);
    size.ws_col = static_cast<unsigned short>(columns);
    if (name == nullptr || ioctl(master, TIOCSWINSZ, &size) != 0) {
        const int failure = errno;
        close(master);
        errno = failure;
        return -1;
    }
    slave_path = name;
    return master;
}

bool enter_terminal_session(const std::string& slave_path, const std::string& directory)
{
    if (setsid() < 0) return false;
    const int slave = open(slave_path.c_str(), O_RDWR);
    if (slave < 0 || ioctl(slave, TIOCSCTTY, 0) != 0) return false;
    if (dup2(slave, 0) < 0 || dup2(slave, 1) < 0 || dup2(slave, 2) < 0) return false;
    if (slave > 2) close(slave);
    if (chdir(directory.c_str()) != 0) return false;
    setenv("TERM", "xterm-256color", 1);
    setenv("LANG", "C.UTF-8", 1);
    unsetenv("LC_ALL");
    unsetenv("LC_CTYPE");
    return true;
}
