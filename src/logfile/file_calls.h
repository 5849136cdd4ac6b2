// The file calls through which a log line reaches the disk. Tests replace
// them to make a disk fill up or a write fail on cue; the program never does.
#pragma once

#include <sys/types.h>

#include <cstddef>

struct log_file_calls {
    ssize_t (*write)(int handle, const void* bytes, std::size_t count);
    int (*ftruncate)(int handle, off_t length);
};

// The real calls unless a test has swapped them.
extern log_file_calls file_calls;

// The real calls, for putting them back.
log_file_calls real_file_calls() noexcept;
