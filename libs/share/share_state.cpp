#include "share_state.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

#include "share_protocol.h"

namespace {

constexpr std::string_view magic = "zarim-share state 1";
// A state is a few lines; anything much larger is not one.
constexpr std::size_t state_bound = std::size_t{64} * 1024;

constexpr char hex_digits[] = "0123456789abcdef";

int hex_value(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string hex_text(std::string_view bytes)
{
    std::string text;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        text += hex_digits[byte >> 4];
        text += hex_digits[byte & 15];
    }
    return text;
}

bool from_hex(std::string_view text, std::string& bytes)
{
    if (text.size() % 2 != 0) return false;
    bytes.clear();
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int high = hex_value(text[i]);
        const int low = hex_value(text[i + 1]);
        if (high < 0 || low < 0) return false;
        bytes += static_cast<char>(high * 16 + low);
    }
    return true;
}

std::string escaped_path(std::string_view path)
{
    std::string text;
    for (const char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= ' ' || byte > '~' || c == '%') {
            text += '%';
            text += hex_digits[byte >> 4];
            text += hex_digits[byte & 15];
        } else {
            text += c;
        }
    }
    return text;
}

bool unescaped_path(std::string_view text, std::string& path)
{
    path.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            path += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return false;
        const int high = hex_value(text[i + 1]);
        const int low = hex_value(text[i + 2]);
        if (high < 0 || low < 0) return false;
        path += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return !path.empty();
}

bool read_count(std::string_view text, std::uint64_t& value)
{
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    return !text.empty() && error == std::errc() && stop == end;
}

std::string directory_of(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// mkdir -p: each missing folder on the way, private to the user.
bool make_directories(const std::string& directory)
{
    for (std::size_t slash = directory.find('/', 1);; slash = directory.find('/', slash + 1)) {
        const std::string folder = directory.substr(0, slash);
        struct stat status {};
        if (::stat(folder.c_str(), &status) != 0 && ::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
        if (slash == std::string::npos) break;
    }
    struct stat status {};
    return ::stat(directory.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool write_all(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t count = ::write(fd, bytes.data(), bytes.size());
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(count));
    }
    return true;
}

bool fail(std::string& problem, std::string text)
{
    problem = std::move(text);
    return false;
}

}  // namespace

std::string log_head(std::string_view line)
{
    return std::string(line.substr(0, log_head_bytes));
}

std::string state_text(const share_state& state)
{
    std::string text(magic);
    text += "\nflight " + state.flight + "\nstation " + state.station + "\n";
    const std::size_t first = state.logs.size() > max_state_logs ? state.logs.size() - max_state_logs : 0;
    for (std::size_t i = first; i < state.logs.size(); ++i) {
        const log_progress& progress = state.logs[i];
        text += "log " + progress.log.date + " " + std::to_string(progress.acked) + " " +
                hex_text(progress.log.head) + " " + escaped_path(progress.log.path) + "\n";
    }
    return text;
}

bool read_state_text(std::string_view text, share_state& state, std::string& problem)
{
    share_state read;
    std::size_t number = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        if (end == std::string_view::npos) return fail(problem, "its last line is cut short");
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end + 1);
        ++number;
        if (number == 1) {
            if (line != magic) return fail(problem, "it is no zarim-share state");
        } else if (line.starts_with("flight ") && number == 2) {
            read.flight = line.substr(7);
        } else if (line.starts_with("station ") && number == 3) {
            read.station = line.substr(8);
        } else if (line.starts_with("log ") && number > 3 && read.logs.size() < max_state_logs) {
            std::string_view fields = line.substr(4);
            std::string_view parts[4];
            for (std::size_t i = 0; i < 3; ++i) {
                const std::size_t space = fields.find(' ');
                if (space == std::string_view::npos) return fail(problem, "line " + std::to_string(number) + " does not read");
                parts[i] = fields.substr(0, space);
                fields.remove_prefix(space + 1);
            }
            parts[3] = fields;
            log_progress progress;
            progress.log.date = parts[0];
            if (!is_log_date(progress.log.date)) {
                return fail(problem, "line " + std::to_string(number) + " has no log date");
            }
            if (!read_count(parts[1], progress.acked) || !from_hex(parts[2], progress.log.head) ||
                progress.log.head.size() > log_head_bytes || !unescaped_path(parts[3], progress.log.path)) {
                return fail(problem, "line " + std::to_string(number) + " does not read");
            }
            read.logs.push_back(std::move(progress));
        } else {
            return fail(problem, "line " + std::to_string(number) + " does not read");
        }
    }
    if (number < 3) return fail(problem, "it is cut short");
    state = std::move(read);
    return true;
}

state_found load_state(const std::string& path, share_state& state, std::string& problem)
{
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0 && errno == ENOENT) {
        state = {};
        return state_found::missing;
    }
    if (fd < 0) {
        problem = std::strerror(errno);
        return state_found::unreadable;
    }
    std::string text(state_bound + 1, '\0');
    std::size_t got = 0;
    int error = 0;
    while (got < text.size()) {
        const ssize_t count = ::read(fd, text.data() + got, text.size() - got);
        if (count > 0) {
            got += static_cast<std::size_t>(count);
        } else if (count < 0 && errno == EINTR) {
            continue;
        } else {
            error = count < 0 ? errno : 0;
            break;
        }
    }
    ::close(fd);
    if (error != 0) {
        problem = std::strerror(error);
        return state_found::unreadable;
    }
    if (got > state_bound) {
        problem = "it is too large to be a state";
        return state_found::unreadable;
    }
    text.resize(got);
    return read_state_text(text, state, problem) ? state_found::read : state_found::unreadable;
}

bool save_state(const std::string& path, const share_state& state, std::string& problem)
{
    const std::string directory = directory_of(path);
    if (!make_directories(directory)) {
        return fail(problem, "cannot make the directory " + directory + ": " + std::strerror(errno));
    }
    const std::string temporary = path + ".new";
    int fd;
    do {
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return fail(problem, "cannot write " + temporary + ": " + std::strerror(errno));
    const bool written = write_all(fd, state_text(state)) && ::fsync(fd) == 0;
    const int write_error = errno;
    if (::close(fd) != 0 || !written) {
        ::unlink(temporary.c_str());
        return fail(problem, "cannot write " + temporary + ": " + std::strerror(written ? errno : write_error));
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const int rename_error = errno;
        ::unlink(temporary.c_str());
        return fail(problem, "cannot replace " + path + ": " + std::strerror(rename_error));
    }
    // The rename is durable only once the directory is.
    const int directory_fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory_fd < 0) return fail(problem, "cannot flush " + directory + ": " + std::strerror(errno));
    const bool flushed = ::fsync(directory_fd) == 0;
    const int flush_error = errno;
    ::close(directory_fd);
    if (!flushed) return fail(problem, "cannot flush " + directory + ": " + std::strerror(flush_error));
    return true;
}

state_lock::~state_lock()
{
    if (fd_ >= 0) ::close(fd_);
}

bool state_lock::acquire(const std::string& state_path, std::string& problem)
{
    const std::string directory = directory_of(state_path);
    if (!make_directories(directory)) {
        return fail(problem, "cannot make the directory " + directory + ": " + std::strerror(errno));
    }
    const std::string path = state_path + ".lock";
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return fail(problem, "cannot open " + path + ": " + std::strerror(errno));
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK) {
            return fail(problem, "another zarim-share is sharing with the state " + state_path);
        }
        return fail(problem, "cannot lock " + path + ": " + std::strerror(error));
    }
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
    return true;
}
