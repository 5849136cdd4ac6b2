#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>

#include "logfile/file_calls.h"
#include "logfile/log_file.h"
#include "net/file_error.h"
#include "net/udp_endpoint.h"

namespace {

bool usable_file_name(const byte_string& name)
{
    // A NUL would make the open see a shorter name than the one shown.
    const auto refused = [](char c) { return c == '*' || c == '?' || c == '\0'; };
    return !name.empty() && std::none_of(name.begin(), name.end(), refused);
}

void abandon_open(channel_number channel, error_number code, error_number& error)
{
    std::unique_ptr<channel_record> record = remove_channel(channel);
    if (record && record->handle >= 0) {
        ::close(record->handle);
    }
    recycle_channel_record(std::move(record));
    error = code;
}

// The log channel open for appending, the file locked against every other
// appender; nullptr when the file cannot be had this time.
channel_record* open_log_channel(channel_number channel, const byte_string& file_name,
                                 error_number& error)
{
    if (!usable_file_name(file_name)) {
        error = error::bad_file_name;
        return nullptr;
    }
    if (channel < 0) {
        error = error::channel_not_open;
        return nullptr;
    }
    if (find_channel(channel) != nullptr) {
        error = error::channel_already_open;
        return nullptr;
    }

    channel_record fresh;
    fresh.number = channel;
    fresh.kind = channel_kind::disk_file;
    channel_record* record = insert_channel(std::move(fresh));
    if (record == nullptr) {
        error = error::out_of_memory;
        return nullptr;
    }
    // Named in place: a record the table kept from the last line still has
    // the room for the name.
    try {
        record->name.assign(file_name);
    } catch (const std::bad_alloc&) {
        abandon_open(channel, error::out_of_memory, error);
        return nullptr;
    }

    // Never O_TRUNC: a later start on the same day adds to the same file.
    // Appending puts every write at the end without a seek there first.
    do {
        record->handle = ::open(file_name.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    } while (record->handle < 0 && errno == EINTR);
    if (record->handle < 0) {
        abandon_open(channel, file_error_number(errno), error);
        return nullptr;
    }

    // Held from here to the close. Not waiting for it keeps the receive loop
    // moving while another program holds the file; the line waits instead.
    int locked;
    do {
        locked = ::flock(record->handle, LOCK_EX | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) {
        abandon_open(channel, file_error_number(errno), error);
        return nullptr;
    }
    return record;
}

// The number of leading lines that lie whole within the first `written` bytes.
std::size_t whole_lines(const std::deque<byte_string>& lines, std::size_t written,
                        std::size_t& whole_bytes)
{
    std::size_t count = 0;
    whole_bytes = 0;
    for (const byte_string& line : lines) {
        if (whole_bytes + line.size() > written) {
            break;
        }
        whole_bytes += line.size();
        ++count;
    }
    return count;
}

// Writes the bytes with as many writes as the file takes; returns how many
// it took before a write failed.
std::size_t write_run(const channel_record& record, byte_view run, error_number& error)
{
    std::size_t written = 0;
    while (written < run.size()) {
        const ssize_t count =
            file_calls.write(record.handle, run.data() + written, run.size() - written);
        if (count > 0) {
            written += static_cast<std::size_t>(count);
        } else if (count < 0 && errno == EINTR) {
            continue;
        } else {
            error = count == 0 ? error::disk_full : file_error_number(errno);
            break;
        }
    }
    return written;
}

// Cuts the file back by the `excess` bytes at its end that the last run put
// there, so that a reader of the file never meets half a line.
void cut_back(const channel_record& record, std::size_t excess, error_number& error)
{
    // Only here is the position needed: the writes have left it at the end
    // of what they put in, under the lock no other appender has.
    const off_t end = ::lseek(record.handle, 0, SEEK_CUR);
    if (end < 0) {
        error = file_error_number(errno);
        return;
    }
    const off_t keep = end - static_cast<off_t>(excess);
    int cut;
    do {
        cut = file_calls.ftruncate(record.handle, keep);
    } while (cut != 0 && errno == EINTR);
    if (cut != 0) {
        // The partial line stays; say so rather than the write's reason.
        error = file_error_number(errno);
    }
}

// Writes the lines in one run and gives how many of them are now in the file.
// A run that stops part-way is cut back to its last whole line, and the rest
// waits for the next try.
std::size_t write_lines(const channel_record& record, const std::deque<byte_string>& lines,
                        error_number& error)
{
    byte_string run;
    std::size_t total = 0;
    for (const byte_string& line : lines) {
        total += line.size();
    }
    try {
        run.reserve(total);
    } catch (const std::bad_alloc&) {
        error = error::out_of_memory;
        return 0;
    }
    for (const byte_string& line : lines) {
        run.append(line);
    }

    const std::size_t written = write_run(record, run, error);
    if (written == run.size()) {
        return lines.size();
    }
    std::size_t whole_bytes = 0;
    const std::size_t count = whole_lines(lines, written, whole_bytes);
    if (whole_bytes < written) {
        cut_back(record, written - whole_bytes, error);
    }
    return count;
}

// Beyond the bound the newest lines are counted and dropped.
void keep_within_bound(log_backlog& backlog)
{
    while (backlog.lines.size() > log_backlog_limit) {
        backlog.lines.pop_back();
        backlog.dropped += 1;
    }
}

// One try at the file: everything waiting goes in, oldest first, as far as it
// fits; what does not stays, within the bound.
void write_waiting_lines(channel_number channel, const byte_string& file_name,
                         log_backlog& backlog, error_number& error)
{
    channel_record* record = open_log_channel(channel, file_name, error);
    if (record != nullptr) {
        const std::size_t written = write_lines(*record, backlog.lines, error);
        backlog.lines.erase(backlog.lines.begin(),
                            backlog.lines.begin() + static_cast<std::ptrdiff_t>(written));
        close_channel(channel, error);
    }
    keep_within_bound(backlog);
}

// The usual case, with nothing waiting: the line goes to the file straight
// from where it was made, and only a line the file did not take whole is
// kept to wait.
void write_line_alone(channel_number channel, const byte_string& file_name, log_backlog& backlog,
                      error_number& error)
{
    channel_record* record = open_log_channel(channel, file_name, error);
    bool whole = false;
    if (record != nullptr) {
        const std::size_t written = write_run(*record, backlog.line, error);
        whole = written == backlog.line.size();
        if (!whole && written > 0) {
            cut_back(*record, written, error);
        }
        close_channel(channel, error);
    }
    if (!whole) {
        backlog.lines.push_back(backlog.line);
        keep_within_bound(backlog);
    }
}

}  // namespace

void append_log_line(channel_number channel, const byte_string& file_name,
                     const decoded_frame& frame, log_backlog& backlog, error_number& error)
{
    frame_digits digits;
    make_frame_digits(frame, digits);
    append_log_line(channel, file_name, frame, digits, backlog, error);
}

void append_log_line(channel_number channel, const byte_string& file_name, const decoded_frame& frame,
                     const frame_digits& digits, log_backlog& backlog, error_number& error)
{
    make_log_line(frame, digits, backlog.line);
    if (backlog.lines.empty()) {
        write_line_alone(channel, file_name, backlog, error);
        return;
    }
    backlog.lines.push_back(backlog.line);
    write_waiting_lines(channel, file_name, backlog, error);
}

void flush_log_backlog(channel_number channel, const byte_string& file_name, log_backlog& backlog,
                       error_number& error)
{
    if (!backlog.lines.empty()) {
        write_waiting_lines(channel, file_name, backlog, error);
    }
}
