#include "catchup_server.h"

#include <algorithm>

namespace {

// Lines an answer may send in one burst after a pause.
constexpr double burst = 100;

std::uint64_t sent_of(const std::vector<sent_log>& logs, const shared_log* log)
{
    for (const sent_log& s : logs) {
        if (s.log.get() == log) return s.sent;
    }
    return 0;
}

}  // namespace

catchup_server::catchup_server(std::string flight, std::string station, double lines_per_second)
    : flight_(std::move(flight)), station_(std::move(station)), lines_per_second_(lines_per_second)
{
}

bool catchup_server::request(const catchup_request& request)
{
    if (!request.station.empty() && request.station != station_) return false;
    std::erase_if(waiting_, [&](const catchup_request& w) { return w.map == request.map; });
    waiting_.push_back(request);
    if (waiting_.size() > max_waiting) {
        waiting_.pop_front();
        return false;
    }
    return true;
}

void catchup_server::start(const std::vector<sent_log>& logs)
{
    answer a;
    a.request = waiting_.front();
    waiting_.pop_front();
    for (const sent_log& s : logs) {
        if (s.sent > 0 && (a.request.date.empty() || s.log->date == a.request.date)) a.logs.push_back(s.log);
    }
    answer_ = std::move(a);
}

bool catchup_server::open_log(answer& a, std::uint64_t sent)
{
    const shared_log& log = *a.logs[a.log_index];
    line_cursor cursor;
    std::string line;
    // A log since cut or replaced is not the one shared: nothing of it can
    // be answered.
    if (sent == 0 || !cursor.open(log.path) || !cursor.next(line) || log_head(line) != log.head) return false;
    const std::uint64_t from = a.request.date.empty() ? 1 : a.request.from;
    while (cursor.number() < from) {
        if (!cursor.next(line)) return false;
    }
    a.first_line = std::move(line);
    a.first_pending = true;
    a.cursor = std::move(cursor);
    return true;
}

std::optional<catchup_message> catchup_server::next(const std::vector<sent_log>& logs, clock::time_point now,
                                                    clock::time_point& due)
{
    if (!answer_ && !waiting_.empty()) start(logs);
    if (!answer_) return std::nullopt;

    if (refilled_ == clock::time_point{}) {
        tokens_ = burst;
    } else {
        const double seconds = std::chrono::duration<double>(now - refilled_).count();
        tokens_ = std::min(burst, tokens_ + seconds * lines_per_second_);
    }
    refilled_ = now;
    if (tokens_ < 1) {
        due = now + std::chrono::duration_cast<clock::duration>(
                        std::chrono::duration<double>((1 - tokens_) / lines_per_second_));
        return std::nullopt;
    }

    answer& a = *answer_;
    const std::string& map = a.request.map;
    while (a.log_index < a.logs.size()) {
        const shared_log& log = *a.logs[a.log_index];
        const std::uint64_t sent = sent_of(logs, &log);
        if (!a.cursor && !open_log(a, sent)) {
            ++a.log_index;
            continue;
        }
        std::string line;
        bool have = false;
        if (a.first_pending) {
            have = a.cursor->number() <= sent;
            if (have) line = std::move(a.first_line);
            a.first_pending = false;
        } else if (a.cursor->number() < sent) {
            have = a.cursor->next(line);
        }
        if (have) {
            tokens_ -= 1;
            shared_line shared{station_, log.date, a.cursor->number(), std::move(line), map};
            return catchup_message{reply_topic(flight_, station_, map), line_payload(shared)};
        }
        // Up to the live position: the rest of this log goes out live.
        const std::uint64_t last = std::min(a.cursor->number(), sent);
        if (last > 0) a.extents.push_back({log.date, last});
        a.cursor.reset();
        a.first_pending = false;
        ++a.log_index;
    }
    catchup_message end{reply_topic(flight_, station_, map), caught_up_payload({station_, map, std::move(a.extents)})};
    answer_.reset();
    return end;
}
