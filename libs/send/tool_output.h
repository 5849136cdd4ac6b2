// Bytes to a descriptor and the few number texts the sender's messages need.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Loops over short writes and EINTR. Returns 0 or the errno of the failure.
int write_all(int fd, std::string_view bytes);

std::string decimal_text(std::uint64_t value);

// "zarim-send: " + text + line end, on standard error; a failure to write
// it has nowhere left to be reported.
void report(std::string_view text);

// "FILE:LINE: " + text + line end, on standard error, in the form editors
// and compilers use, so that the place can be jumped to.
void report_at(std::string_view file, std::uint64_t line, std::string_view text);

// strerror's text for an errno, for messages only.
std::string error_text(int error);
