#include "station_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "share_protocol.h"

namespace {

bool make_directory(const std::string& path, std::string& problem)
{
    if (::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) {
        struct stat status {};
        if (::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) return true;
        problem = "cannot record in " + path + ": not a directory";
        return false;
    }
    problem = "cannot make " + path + ": " + std::strerror(errno);
    return false;
}

// Whole lines in the file; a line cut short by a map that stopped in the
// middle of writing it is cut off, so that it is written again whole.
std::uint64_t count_whole_lines(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return 0;
    std::uint64_t lines = 0;
    off_t end_of_last = 0;
    off_t offset = 0;
    char buffer[1 << 16];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        for (ssize_t i = 0; i < got; ++i) {
            if (buffer[i] == '\n') {
                ++lines;
                end_of_last = offset + i + 1;
            }
        }
        offset += got;
    }
    if (offset != end_of_last) static_cast<void>(::ftruncate(fd, end_of_last));
    ::close(fd);
    return lines;
}

}  // namespace

bool recordable_station(std::string_view name)
{
    return is_share_name(name) && name.front() != '.';
}

station_record::station_record(std::string directory) : directory_(std::move(directory)) {}

bool station_record::start(std::string& problem)
{
    return make_directory(directory_, problem);
}

std::string station_record::path_of(const std::string& station, const std::string& date) const
{
    return directory_ + "/" + station + "/" + (date == "-" ? std::string("undated.txt") : "QLT_" + date + ".txt");
}

station_record::kept_log& station_record::log_of(const std::string& station, const std::string& date)
{
    for (kept_log& log : logs_) {
        if (log.station == station && log.date == date) return log;
    }
    // A log not written to for longest goes first: it is read again from
    // its file if it comes back.
    if (logs_.size() >= max_files) logs_.erase(logs_.begin());
    logs_.push_back(kept_log{station, date, count_whole_lines(path_of(station, date))});
    return logs_.back();
}

std::uint64_t station_record::lines_held(const std::string& station, const std::string& date)
{
    if (!recordable_station(station)) return 0;
    return log_of(station, date).lines;
}

bool station_record::append(const std::string& station, const std::string& date, std::uint64_t number,
                            std::string_view line, std::string& problem)
{
    if (!recordable_station(station)) {
        problem = "a station whose name cannot name a directory";
        return false;
    }
    kept_log& log = log_of(station, date);
    if (number != log.lines + 1) return true;  // held already, or not yet its turn
    if (!make_directory(directory_ + "/" + station, problem)) return false;
    const std::string path = path_of(station, date);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        problem = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    std::string bytes(line);
    bytes += "\r\n";
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t count = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) {
            problem = "cannot write " + path + ": " + std::strerror(count < 0 ? errno : ENOSPC);
            // What went out of a line cut short is taken back.
            if (written > 0) {
                struct stat status {};
                if (::fstat(fd, &status) == 0) static_cast<void>(::ftruncate(fd, status.st_size - static_cast<off_t>(written)));
            }
            ::close(fd);
            return false;
        }
        written += static_cast<std::size_t>(count);
    }
    if (::close(fd) != 0) {
        problem = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    ++log.lines;
    return true;
}
