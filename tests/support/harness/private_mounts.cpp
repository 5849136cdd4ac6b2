#include "private_mounts.h"

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

bool enter_private_mounts()
{
    // Mounts made in a namespace whose root is shared would show up in the
    // machine's own namespace too.
    static const bool entered = geteuid() == 0 && unshare(CLONE_NEWNS) == 0 &&
                                mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    return entered;
}

bool mount_read_only(const std::string& directory)
{
    const char* path = directory.c_str();
    // A bind mount takes the read-only flag only when mounted again.
    return mount(path, path, nullptr, MS_BIND, nullptr) == 0 &&
           mount(nullptr, path, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
}

bool make_writable(const std::string& directory)
{
    return mount(nullptr, directory.c_str(), nullptr, MS_REMOUNT | MS_BIND, nullptr) == 0;
}

bool unmount(const std::string& directory)
{
    return umount2(directory.c_str(), MNT_DETACH) == 0;
}
