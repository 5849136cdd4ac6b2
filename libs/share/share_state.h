// How far the broker has acknowledged each log this station shared, kept
// in a small file so that a restart resumes where the broker stands.
//
// The file is text, one record a line:
//   zarim-share state 1
//   flight NAME
//   station NAME
//   log DATE ACKED HEAD PATH
// one "log" line per log shared for the flight, oldest first, the last the
// one followed most recently (at most max_state_logs). ACKED counts the
// log's lines from its start that the broker has acknowledged, every one
// of them; HEAD is the first line's first bytes in hexadecimal, which tell
// the same log from another written under the same name; PATH has its
// bytes below '!', above '~' and '%' written as %XX.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

constexpr std::size_t max_state_logs = 8;
// A log's first bytes that identify it: its first line holds a counter and
// a time.
constexpr std::size_t log_head_bytes = 64;

// One log's contents, as far as sharing tells them apart.
struct shared_log {
    std::string path;
    std::string date;  // "yyyymmdd" or "-"
    std::string head;  // the first line's first log_head_bytes bytes
    friend bool operator==(const shared_log&, const shared_log&) = default;
};

struct log_progress {
    shared_log log;
    std::uint64_t acked = 0;
    friend bool operator==(const log_progress&, const log_progress&) = default;
};

struct share_state {
    std::string flight;
    std::string station;
    std::vector<log_progress> logs;
    friend bool operator==(const share_state&, const share_state&) = default;
};

// The head of a log whose first line is `line`.
std::string log_head(std::string_view line);

std::string state_text(const share_state& state);
// False with `problem` for a text that is not a state.
bool read_state_text(std::string_view text, share_state& state, std::string& problem);

enum class state_found { read, missing, unreadable };
// Reads the state file. `missing` (no such file) leaves `state` empty;
// `unreadable` says why in `problem`.
state_found load_state(const std::string& path, share_state& state, std::string& problem);

// Writes the state so that a crash at any moment leaves either the old
// file or the new one whole: a temporary file beside it, flushed to disk,
// renamed over it, and the directory flushed. Makes the directory (and its
// parents) when missing.
bool save_state(const std::string& path, const share_state& state, std::string& problem);

// One zarim-share per state file: a lock held on PATH.lock while it runs.
class state_lock {
public:
    state_lock() = default;
    ~state_lock();
    state_lock(const state_lock&) = delete;
    state_lock& operator=(const state_lock&) = delete;
    // False with `problem` when another process holds it or it cannot be
    // made.
    bool acquire(const std::string& state_path, std::string& problem);

private:
    int fd_ = -1;
};
