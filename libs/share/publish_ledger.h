// What has been handed to the broker and what it has acknowledged: the
// bounded window of lines in flight, and for each log how far every line
// is acknowledged, which is what the state file keeps.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "share_source.h"
#include "share_state.h"

// A log and the lines of it handed to the broker so far.
struct sent_log {
    std::shared_ptr<const shared_log> log;
    std::uint64_t sent = 0;
};

class publish_ledger {
public:
    // The logs the state holds, as acknowledged before.
    explicit publish_ledger(const std::vector<log_progress>& state_logs);

    // Where the source resumes: the same log objects, oldest first.
    [[nodiscard]] std::vector<std::pair<std::shared_ptr<const shared_log>, std::uint64_t>> resume_points() const;

    // `line` was handed to the broker as message `mid`.
    void sent(const outgoing_line& line, int mid);
    // The broker acknowledged message `mid`; false when it was no line.
    bool acknowledged(int mid);
    // Lines handed to the broker and not yet acknowledged.
    [[nodiscard]] std::size_t in_flight() const { return in_flight_.size(); }
    // Forgets every line in flight and gives them back in order, to be
    // handed to a new connection: the client that held them is gone.
    std::vector<outgoing_line> take_back_in_flight();
    // The line message `mid`, when it is one in flight.
    [[nodiscard]] const outgoing_line* line_of(int mid) const;

    // Whether the acknowledged lines moved since the last snapshot.
    [[nodiscard]] bool changed() const { return changed_; }
    // What the state file keeps; the ledger counts as unchanged after it.
    share_state snapshot(const std::string& flight, const std::string& station);
    // Every log kept, oldest first, with the lines handed to the broker.
    [[nodiscard]] std::vector<sent_log> logs() const;

private:
    struct record {
        std::shared_ptr<const shared_log> log;
        std::uint64_t acked = 0;
        std::uint64_t sent = 0;
    };
    struct flight_entry {
        int mid = 0;
        outgoing_line line;
        bool acked = false;
    };

    record* find(const shared_log* log);

    std::vector<record> records_;  // oldest first, at most max_state_logs
    std::deque<flight_entry> in_flight_;  // in the order sent
    bool changed_ = false;
};
