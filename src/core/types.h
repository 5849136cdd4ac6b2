// Types every subsystem shares: the byte string and the error number.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

static_assert(std::numeric_limits<long double>::digits == 64,
              "zarim needs long double to be the x87 80-bit extended format");

// Every text of the receiver is a run of 8-bit bytes that carries its own
// length and may hold any value, NUL included. std::string does exactly that
// and is never used here for its locale or formatting features.
using byte_string = std::string;
using byte_view = std::string_view;

// An operation that can fail sets the caller's error number and returns
// normally; success leaves it as it was, so callers clear it before testing.
using error_number = std::uint8_t;

// Error numbers shared by several subsystems.
namespace error {
inline constexpr error_number none = 0;
inline constexpr error_number invalid_parameter = 5;
inline constexpr error_number out_of_memory = 7;
inline constexpr error_number timed_out = 24;
inline constexpr error_number channel_not_open = 52;
inline constexpr error_number file_not_found = 53;
inline constexpr error_number wrong_channel_kind = 54;
inline constexpr error_number channel_already_open = 55;
inline constexpr error_number socket_failure = 57;
inline constexpr error_number disk_full = 61;
inline constexpr error_number bad_file_name = 64;
inline constexpr error_number too_many_files = 67;
inline constexpr error_number invalid_drive = 68;
inline constexpr error_number access_denied = 70;
inline constexpr error_number drive_not_ready = 71;
inline constexpr error_number other_failure = 75;
inline constexpr error_number path_not_found = 76;
}  // namespace error
