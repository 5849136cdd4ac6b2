// The station's log as lines to share: what the follower reads, numbered
// from each log's start, with the lines the broker acknowledged before a
// restart left out, and the rest of a log the follower leaves for a newer
// one (a receiver's midnight, a backlog across it) read before the newer
// log's lines, so that every line goes out once and in order.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "line_cursor.h"
#include "log_follower.h"
#include "share_state.h"

// One line to publish.
struct outgoing_line {
    std::shared_ptr<const shared_log> log;  // the same object for every line of one log
    std::uint64_t number = 0;  // from the log's start, from 1
    std::string text;
};

class share_source {
public:
    // `resume`: the logs as the state left them, oldest first; the same
    // objects the publisher keeps, so that it knows their lines.
    share_source(log_follower& follower,
                 const std::vector<std::pair<std::shared_ptr<const shared_log>, std::uint64_t>>& resume);

    // Appends what is new to `out`: at most a bounded piece (what one read
    // of the follower gives, or drain_piece lines of a log left behind).
    // Returns true when more is there to be read at once.
    bool read(std::vector<outgoing_line>& out);

    // Lines read from a log left behind at most in one read().
    static constexpr std::size_t drain_piece = 1000;

private:
    struct known_log {
        std::shared_ptr<const shared_log> log;
        std::uint64_t read = 0;  // lines given (or acknowledged before a restart)
    };
    struct drain {
        known_log log;
        line_cursor cursor;
    };

    void take_line(std::string text, std::vector<outgoing_line>& out);
    void plan_drain(const known_log& left);
    bool continue_drain(std::vector<outgoing_line>& out);

    log_follower& follower_;
    std::vector<known_log> resume_;
    std::string path_;  // the followed file
    std::optional<known_log> current_;  // once its first line is read
    std::uint64_t lines_in_file_ = 0;  // lines of path_ read by the follower
    std::optional<known_log> resumed_;  // what the state says of path_
    std::optional<drain> drain_;
    follow_news held_;  // the new log's first lines, while the old one drains
    bool holding_ = false;
};
