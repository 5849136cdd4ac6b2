// A descriptor kept in a variable, -1 when none is held.
#pragma once

#include <unistd.h>

// Closes it and marks it as none. Linux releases the descriptor whatever
// close reports, so it is never retried: a retry could close a descriptor
// opened meanwhile.
inline void close_held(int& fd)
{
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}
