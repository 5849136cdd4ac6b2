#include "line_cursor.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "log_follower.h"
#include "share_protocol.h"

line_cursor::~line_cursor()
{
    if (fd_ >= 0) ::close(fd_);
}

line_cursor::line_cursor(line_cursor&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      offset_(other.offset_),
      partial_(std::move(other.partial_)),
      skipping_(other.skipping_),
      lines_(std::move(other.lines_)),
      taken_(other.taken_),
      number_(other.number_)
{
}

line_cursor& line_cursor::operator=(line_cursor&& other) noexcept
{
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        offset_ = other.offset_;
        partial_ = std::move(other.partial_);
        skipping_ = other.skipping_;
        lines_ = std::move(other.lines_);
        taken_ = other.taken_;
        number_ = other.number_;
    }
    return *this;
}

bool line_cursor::open(const std::string& path)
{
    if (fd_ >= 0) ::close(fd_);
    do {
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd_ < 0 && errno == EINTR);
    offset_ = 0;
    partial_.clear();
    skipping_ = false;
    lines_.clear();
    taken_ = 0;
    number_ = 0;
    return fd_ >= 0;
}

bool line_cursor::next(std::string& line)
{
    while (taken_ == lines_.size()) {
        if (!read_piece()) return false;
    }
    line = std::move(lines_[taken_++]);
    if (line.size() > max_shared_line_bytes) line.resize(max_shared_line_bytes);
    ++number_;
    return true;
}

bool line_cursor::read_piece()
{
    if (fd_ < 0) return false;
    lines_.clear();
    taken_ = 0;
    std::string bytes(piece, '\0');
    ssize_t count;
    do {
        count = ::pread(fd_, bytes.data(), bytes.size(), static_cast<off_t>(offset_));
    } while (count < 0 && errno == EINTR);
    if (count <= 0) return false;
    bytes.resize(static_cast<std::size_t>(count));
    offset_ += bytes.size();
    partial_ += bytes;
    std::size_t taken = take_whole_lines(partial_, lines_);
    if (skipping_ && !lines_.empty()) {
        // The end of a line already given whole.
        lines_.erase(lines_.begin());
        skipping_ = false;
    }
    if (taken == 0 && partial_.size() >= piece) {
        // No line of the receiver's is this long: give what there is and
        // drop the rest of it up to its end.
        if (!skipping_) lines_.push_back(partial_.substr(0, max_shared_line_bytes));
        skipping_ = true;
        taken = partial_.size();
    }
    partial_.erase(0, taken);
    return true;
}
