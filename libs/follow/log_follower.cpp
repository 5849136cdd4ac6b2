#include "log_follower.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <utility>

namespace {

// Enough of the file's start to tell a file written anew from the same one
// grown: a log's first line holds a counter and a time.
constexpr std::size_t head_length = 64;

// IN_ATTRIB: a log's permissions changed, so it may be readable again.
constexpr std::uint32_t directory_events =
    IN_MODIFY | IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_CLOSE_WRITE | IN_ATTRIB |
    IN_DELETE_SELF | IN_MOVE_SELF;

// Names noted between two looks at most; beyond it the directory is
// listed again.
constexpr std::size_t changed_bound = 1024;

// Without change notifications, the follower looks this often.
constexpr int poll_interval_ms = 1000;

// Without waiting: a FIFO put where the log should be must not hang the
// follower (it is then refused as no regular file).
int open_for_reading(const std::string& path)
{
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Up to `length` bytes from `offset`, fewer only at the end of the file or
// on a read error, whose errno goes to `error` (0 for none).
std::string read_at(int fd, std::uint64_t offset, std::size_t length, int& error)
{
    std::string bytes(length, '\0');
    std::size_t got = 0;
    while (got < length) {
        const ssize_t count =
            ::pread(fd, bytes.data() + got, length - got, static_cast<off_t>(offset + got));
        if (count > 0) {
            got += static_cast<std::size_t>(count);
        } else if (count < 0 && errno == EINTR) {
            continue;
        } else {
            if (count < 0) error = errno;
            break;
        }
    }
    bytes.resize(got);
    return bytes;
}

std::map<std::string, off_t> daily_logs_in(const std::string& directory)
{
    std::map<std::string, off_t> found;
    DIR* listing = ::opendir(directory.c_str());
    if (listing == nullptr) return found;
    const int directory_fd = ::dirfd(listing);
    // Each listing has a stream of its own, which is all readdir needs to be
    // safe among threads; readdir_r is deprecated.
    // cppcheck-suppress readdirCalled
    while (const dirent* entry = ::readdir(listing)) {
        if (!is_daily_log_name(entry->d_name)) continue;
        struct stat status {};
        if (::fstatat(directory_fd, entry->d_name, &status, 0) != 0 || !S_ISREG(status.st_mode)) {
            continue;
        }
        found.emplace(entry->d_name, status.st_size);
    }
    ::closedir(listing);
    return found;
}

std::string joined(const std::string& directory, const std::string& name)
{
    return directory.empty() || directory.back() == '/' ? directory + name : directory + "/" + name;
}

std::string base_name(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::size_t take_whole_lines(std::string_view bytes, std::vector<std::string>& lines)
{
    std::size_t taken = 0;
    for (;;) {
        const std::size_t end = bytes.find('\n', taken);
        if (end == std::string_view::npos) return taken;
        std::size_t length = end - taken;
        if (length > 0 && bytes[end - 1] == '\r') --length;
        lines.emplace_back(bytes.substr(taken, length));
        taken = end + 1;
    }
}

bool is_daily_log_name(std::string_view name)
{
    if (name.size() != 16 || name.substr(0, 4) != "QLT_" || name.substr(12) != ".txt") return false;
    return std::all_of(name.begin() + 4, name.begin() + 12,
                       [](char c) { return c >= '0' && c <= '9'; });
}

log_follower::log_follower(std::string path) : path_(std::move(path)) {}

log_follower::~log_follower()
{
    if (notify_fd_ >= 0) ::close(notify_fd_);
    if (wake_fd_ >= 0) ::close(wake_fd_);
}

bool log_follower::start(std::string& problem)
{
    struct stat status {};
    if (::stat(path_.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
        directory_mode_ = true;
        directory_ = path_;
    } else {
        const std::size_t slash = path_.rfind('/');
        directory_ = slash == std::string::npos ? "." : slash == 0 ? "/" : path_.substr(0, slash);
        file_name_ = slash == std::string::npos ? path_ : path_.substr(slash + 1);
        struct stat parent {};
        if (file_name_.empty() || ::stat(directory_.c_str(), &parent) != 0 ||
            !S_ISDIR(parent.st_mode)) {
            problem = "cannot follow " + path_ + ": " +
                      (file_name_.empty() ? std::string("it names no file")
                                          : "there is no directory " + directory_);
            return false;
        }
    }
    wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd_ < 0) {
        problem = std::string("cannot make a wake-up event: ") + std::strerror(errno);
        return false;
    }
    notify_fd_ = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    // Without inotify (its instances used up) the follower polls instead.
    if (notify_fd_ >= 0) watch_directory();
    return true;
}

bool log_follower::watch_directory()
{
    watch_ = ::inotify_add_watch(notify_fd_, directory_.c_str(), directory_events);
    relist_ = true;  // whatever happened while unwatched
    return watch_ >= 0;
}

// The daily logs that grew since the last look; the first look, which
// lists the directory, finds none grown.
std::vector<std::string> log_follower::look_again()
{
    std::vector<std::string> grown;
    const auto grew = [this](const std::string& name, off_t size) {
        const auto known = sizes_.find(name);
        return size > (known == sizes_.end() ? 0 : known->second);
    };
    if (relist_ || notify_fd_ < 0 || watch_ < 0) {
        std::map<std::string, off_t> found = daily_logs_in(directory_);
        if (listed_) {
            for (const auto& [name, size] : found) {
                if (grew(name, size)) grown.push_back(name);
            }
        }
        sizes_ = std::move(found);
        listed_ = true;
        relist_ = false;
    } else {
        for (const std::string& name : changed_) {
            struct stat status {};
            if (::stat(joined(directory_, name).c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
                sizes_.erase(name);
                continue;
            }
            if (grew(name, status.st_size)) grown.push_back(name);
            sizes_[name] = status.st_size;
        }
    }
    changed_.clear();
    return grown;
}

std::string log_follower::choose_file()
{
    if (!directory_mode_) return path_;
    const std::vector<std::string> grown = look_again();
    // The name is the date, so the greatest name is the latest day.
    if (current_.empty()) return sizes_.empty() ? std::string() : joined(directory_, sizes_.rbegin()->first);
    std::string chosen = base_name(current_);
    for (const std::string& name : grown) chosen = std::max(chosen, name);
    return joined(directory_, chosen);
}

void log_follower::switch_to(const std::string& path, follow_news& news)
{
    current_ = path;
    announced_ = false;
    identity_ = {};
    offset_ = 0;
    head_.clear();
    news.lines.clear();
}

void log_follower::restart(follow_news& news)
{
    identity_ = {};
    offset_ = 0;
    head_.clear();
    news.restarted = true;
    news.lines.clear();
}

follow_news log_follower::read_news()
{
    follow_news news;
    if (notify_fd_ >= 0) relevant_events();  // what changed since the last wait
    const std::string chosen = choose_file();
    if (chosen != current_) switch_to(chosen, news);
    news.path = current_;
    if (!current_.empty()) read_lines(news);
    // A file is new to the reader once it is first read, not before.
    if (!news.path.empty() && !announced_) {
        news.new_file = true;
        announced_ = true;
    }
    return news;
}

void log_follower::read_lines(follow_news& news)
{
    // What cannot be read is said, and what was read stands. A file not
    // there yet is only waited for.
    const std::string name = base_name(current_);
    const int fd = open_for_reading(current_);
    if (fd < 0) {
        const int error = errno;
        if (error != ENOENT) {
            news.problem = "cannot read " + name + ": " + std::strerror(error);
        } else if (identity_.known) {
            news.problem = name + " was deleted or moved away";
        }
        news.path.clear();
        return;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        news.problem = "cannot read " + name + ": it is no longer a regular file";
        news.path.clear();
        ::close(fd);
        return;
    }
    const bool replaced =
        identity_.known && (identity_.device != status.st_dev || identity_.inode != status.st_ino);
    const bool truncated = static_cast<std::uint64_t>(status.st_size) < offset_;
    int error = 0;
    if (replaced || truncated || (!head_.empty() && read_at(fd, 0, head_.size(), error) != head_ && error == 0)) {
        restart(news);
    }
    identity_ = {status.st_dev, status.st_ino, true};

    // Only what the file holds beyond the lines taken: a buffer of the
    // whole bound, filled afresh for every line, would cost more than the
    // line itself.
    const auto size = static_cast<std::uint64_t>(status.st_size);
    const std::size_t wanted =
        size > offset_ ? static_cast<std::size_t>(std::min<std::uint64_t>(size - offset_, read_bound)) : 0;
    const std::string bytes = wanted > 0 ? read_at(fd, offset_, wanted, error) : std::string();
    if (error != 0) {
        news.problem = "cannot read " + name + ": " + std::strerror(error);
        news.path.clear();
        news.lines.clear();
        ::close(fd);
        return;
    }
    std::size_t taken = take_whole_lines(bytes, news.lines);
    if (taken == 0 && bytes.size() == read_bound) {
        // One "line" longer than the bound is no line of the receiver's;
        // it is taken whole (to be found unreadable) rather than waited on.
        news.lines.push_back(bytes);
        taken = bytes.size();
    }
    offset_ += taken;
    news.more = bytes.size() == read_bound;
    if (head_.size() < head_length && offset_ > head_.size()) {
        head_ = read_at(fd, 0, static_cast<std::size_t>(std::min<std::uint64_t>(offset_, head_length)), error);
    }
    ::close(fd);
}

bool log_follower::relevant_events()
{
    bool relevant = false;
    alignas(inotify_event) char events[4096];
    for (;;) {
        const ssize_t count = ::read(notify_fd_, events, sizeof events);
        if (count <= 0) return relevant;
        for (ssize_t at = 0; at < count;) {
            inotify_event event{};
            std::memcpy(&event, events + at, sizeof event);
            const char* name = events + at + sizeof(inotify_event);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
            if ((event.mask & IN_IGNORED) != 0) {
                watch_ = -1;  // the directory went away
                relist_ = true;
            }
            // No name: the directory itself, or the queue overflowed.
            const bool current = event.len != 0 && !current_.empty() &&
                                 (directory_mode_ ? current_ == joined(directory_, name) : file_name_ == name);
            // The followed file closed after writing: its writes were
            // events of their own, and the receiver closes after every line.
            if (current && event.mask == IN_CLOSE_WRITE) continue;
            if ((event.mask & IN_Q_OVERFLOW) != 0) relist_ = true;
            if (event.len == 0) {
                relevant = true;
            } else if (directory_mode_ ? is_daily_log_name(name) : file_name_ == name) {
                relevant = true;
                if (directory_mode_ && changed_.size() < changed_bound) {
                    changed_.emplace(name);
                } else if (directory_mode_) {
                    relist_ = true;
                }
            }
        }
    }
}

bool log_follower::wait_for_change(int timeout_ms)
{
    using clock = std::chrono::steady_clock;
    const clock::time_point deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (notify_fd_ >= 0 && watch_ < 0) watch_directory();  // the directory may be back
        const bool notified = notify_fd_ >= 0 && watch_ >= 0;
        int wait_ms = notified ? -1 : poll_interval_ms;
        if (timeout_ms >= 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now());
            wait_ms = static_cast<int>(std::clamp<std::int64_t>(
                left.count(), 0, wait_ms < 0 ? left.count() : wait_ms));
        }
        pollfd watched[2] = {{wake_fd_, POLLIN, 0}, {notify_fd_, POLLIN, 0}};
        const int ready = ::poll(watched, notified ? 2 : 1, wait_ms);
        // The event stays readable, so every later wait ends at once too.
        if (ready > 0 && (watched[0].revents & POLLIN) != 0) return false;
        if (ready < 0 && errno != EINTR) return true;
        if (!notified || ready == 0) return true;  // a look is due
        // Events only say that something changed; read_news looks at what.
        if (ready > 0 && relevant_events()) return true;
        if (timeout_ms >= 0 && clock::now() >= deadline) return true;
    }
}

void log_follower::stop() const
{
    if (wake_fd_ < 0) return;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(wake_fd_, &one, sizeof one);
}
