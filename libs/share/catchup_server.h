// Answering maps that ask for the flight so far: each request is answered
// from the logs themselves (the broker keeps no history), read again from
// disk in bounded pieces, one request at a time, paced, so that a map
// opened late gets every line without the station's live lines waiting
// and without a flood its broker queue would drop.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "line_cursor.h"
#include "publish_ledger.h"
#include "share_protocol.h"

struct catchup_message {
    std::string topic;
    std::string payload;
};

class catchup_server {
public:
    using clock = std::chrono::steady_clock;

    // `lines_per_second`: the pace of all answers together.
    catchup_server(std::string flight, std::string station, double lines_per_second = 1000);

    // A request read from the flight's catch-up topic. Requests for another
    // station are ignored; a map's newer request replaces its waiting one;
    // beyond max_waiting the oldest waiting one is dropped. Returns false
    // when the request was not taken (another station's, or dropped).
    bool request(const catchup_request& request);
    [[nodiscard]] bool busy() const { return answer_.has_value() || !waiting_.empty(); }

    // The next message of the answer under way, read up to what `logs` says
    // has been handed to the broker (the live lines give the rest). Nothing
    // when there is no answer to give, or the pace wants a pause: then
    // `due` says when to ask again.
    std::optional<catchup_message> next(const std::vector<sent_log>& logs, clock::time_point now,
                                        clock::time_point& due);

    static constexpr std::size_t max_waiting = 16;

private:
    struct answer {
        catchup_request request;
        std::vector<std::shared_ptr<const shared_log>> logs;  // to answer, in order
        std::size_t log_index = 0;
        std::optional<line_cursor> cursor;
        std::string first_line;  // read to check the log, not yet sent
        bool first_pending = false;
        std::vector<log_extent> extents;
    };

    void start(const std::vector<sent_log>& logs);
    static bool open_log(answer& a, std::uint64_t sent);

    std::string flight_;
    std::string station_;
    double lines_per_second_;
    std::deque<catchup_request> waiting_;
    std::optional<answer> answer_;
    double tokens_ = 0;
    clock::time_point refilled_{};
};
