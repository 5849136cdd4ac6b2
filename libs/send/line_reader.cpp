#include "line_reader.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <unistd.h>

namespace {

void take_line(line_reader& reader, std::size_t length, std::size_t consumed, std::string& line)
{
    line.assign(reader.buffer.data() + reader.start, length);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    reader.start += consumed;
    ++reader.line_number;
}

}  // namespace

line_status read_line(line_reader& reader, std::string& line, int& error, int wait_ms)
{
    for (;;) {
        const char* first = reader.buffer.data() + reader.start;
        const std::size_t unread = reader.end - reader.start;
        const auto* newline = static_cast<const char*>(std::memchr(first, '\n', unread));
        if (newline != nullptr) {
            const auto length = static_cast<std::size_t>(newline - first);
            if (reader.skipping) {
                reader.skipping = false;
                reader.start += length + 1;
                continue;
            }
            take_line(reader, length, length + 1, line);
            return line_status::line;
        }
        if (reader.skipping) reader.start = reader.end;  // drop the overlong line's middle
        if (reader.at_end) {
            if (reader.skipping || unread == 0) return line_status::end;
            take_line(reader, unread, unread, line);  // a last line without a line end
            return line_status::line;
        }
        if (reader.start > 0) {
            std::memmove(reader.buffer.data(), reader.buffer.data() + reader.start,
                         reader.end - reader.start);
            reader.end -= reader.start;
            reader.start = 0;
        }
        if (reader.end == reader.buffer.size()) {
            reader.skipping = true;
            reader.start = reader.end = 0;
            ++reader.line_number;
            return line_status::too_long;
        }

        pollfd ready{reader.fd, POLLIN, 0};
        const int polled = poll(&ready, 1, wait_ms);
        if (polled < 0 && errno != EINTR) {
            error = errno;
            return line_status::failure;
        }
        if (polled <= 0) return line_status::waiting;
        const ssize_t got =
            read(reader.fd, reader.buffer.data() + reader.end, reader.buffer.size() - reader.end);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) return line_status::waiting;
            error = errno;
            return line_status::failure;
        }
        if (got == 0) reader.at_end = true;
        reader.end += static_cast<std::size_t>(got);
    }
}
