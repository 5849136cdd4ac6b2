// A folder that even root cannot write, for as long as a test wants: a
// read-only bind mount of it in a mount namespace of the process's own, so
// that nothing of it reaches the rest of the machine.
#pragma once

#include <string>

// As root: unshare the mounts, once per process, with nothing propagating
// back. False when it could not be done.
bool enter_private_mounts();

// Mounts `directory` on itself read-only, or makes that mount writable
// again, or takes it away; false when the call failed. A program must be
// started in the folder after it is mounted, to see the mount.
bool mount_read_only(const std::string& directory);
bool make_writable(const std::string& directory);
bool unmount(const std::string& directory);
