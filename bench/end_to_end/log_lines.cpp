#include "log_lines.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

std::string find_log_file(const std::string& directory)
{
    DIR* listing = opendir(directory.c_str());
    if (listing == nullptr) return {};
    std::string found;
    while (const dirent* entry = readdir(listing)) {
        if (std::strncmp(entry->d_name, "QLT_", 4) == 0) {
            found = directory + "/" + entry->d_name;
            break;
        }
    }
    closedir(listing);
    return found;
}

}  // namespace

std::uint64_t count_log_lines(log_counter& counter)
{
    if (counter.file.empty()) {
        counter.file = find_log_file(counter.directory);
        if (counter.file.empty()) return 0;
    }
    const int fd = open(counter.file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return counter.lines;
    char buffer[65536];
    for (;;) {
        const ssize_t got = pread(fd, buffer, sizeof buffer, static_cast<off_t>(counter.offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        counter.offset += static_cast<std::uint64_t>(got);
        for (ssize_t i = 0; i < got; ++i) {
            if (buffer[i] == '\n') ++counter.lines;
        }
    }
    close(fd);
    return counter.lines;
}
