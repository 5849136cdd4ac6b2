#include "tool_output.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

int write_all(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t put = write(fd, bytes.data(), bytes.size());
        if (put < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        bytes.remove_prefix(static_cast<std::size_t>(put));
    }
    return 0;
}

std::string decimal_text(std::uint64_t value)
{
    char digits[20];
    int length = 0;
    do {
        digits[length++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    std::string text;
    while (length > 0) text.push_back(digits[--length]);
    return text;
}

void report(std::string_view text)
{
    std::string message = "zarim-send: ";
    message.append(text);
    message.push_back('\n');
    (void)write_all(STDERR_FILENO, message);
}

void report_at(std::string_view file, std::uint64_t line, std::string_view text)
{
    std::string message(file);
    message.push_back(':');
    message.append(decimal_text(line));
    message.append(": ");
    message.append(text);
    message.push_back('\n');
    (void)write_all(STDERR_FILENO, message);
}

std::string error_text(int error)
{
    char buffer[256];
    // The GNU strerror_r returns its text, which need not be in the buffer.
    return strerror_r(error, buffer, sizeof buffer);
}
