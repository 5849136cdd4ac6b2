#include "publish_ledger.h"

#include <algorithm>

publish_ledger::publish_ledger(const std::vector<log_progress>& state_logs)
{
    for (const log_progress& progress : state_logs) {
        records_.push_back({std::make_shared<const shared_log>(progress.log), progress.acked, progress.acked});
    }
    while (records_.size() > max_state_logs) records_.erase(records_.begin());
}

std::vector<std::pair<std::shared_ptr<const shared_log>, std::uint64_t>> publish_ledger::resume_points() const
{
    std::vector<std::pair<std::shared_ptr<const shared_log>, std::uint64_t>> points;
    for (const record& r : records_) points.emplace_back(r.log, r.acked);
    return points;
}

publish_ledger::record* publish_ledger::find(const shared_log* log)
{
    const auto found = std::find_if(records_.begin(), records_.end(), [&](const record& r) { return r.log.get() == log; });
    return found == records_.end() ? nullptr : &*found;
}

void publish_ledger::sent(const outgoing_line& line, int mid)
{
    record* r = find(line.log.get());
    if (r == nullptr) {
        // A log new to the ledger (or a new one under an old name, which
        // takes the old one's place): its lines before this one are
        // acknowledged, or were before a restart.
        std::erase_if(records_, [&](const record& old) { return old.log->path == line.log->path; });
        records_.push_back({line.log, line.number - 1, line.number - 1});
        if (records_.size() > max_state_logs) records_.erase(records_.begin());
        r = &records_.back();
    }
    r->sent = std::max(r->sent, line.number);
    in_flight_.push_back({mid, line, false});
}

bool publish_ledger::acknowledged(int mid)
{
    const auto entry = std::find_if(in_flight_.begin(), in_flight_.end(),
                                    [&](const flight_entry& e) { return e.mid == mid && !e.acked; });
    if (entry == in_flight_.end()) return false;
    entry->acked = true;
    // Only an unbroken run from the oldest line in flight counts: a restart
    // resumes after the last line of it.
    while (!in_flight_.empty() && in_flight_.front().acked) {
        const outgoing_line& line = in_flight_.front().line;
        if (record* r = find(line.log.get()); r != nullptr && line.number > r->acked) {
            r->acked = line.number;
            changed_ = true;
        }
        in_flight_.pop_front();
    }
    return true;
}

std::vector<outgoing_line> publish_ledger::take_back_in_flight()
{
    std::vector<outgoing_line> lines;
    for (flight_entry& e : in_flight_) {
        if (!e.acked) lines.push_back(std::move(e.line));
    }
    in_flight_.clear();
    return lines;
}

const outgoing_line* publish_ledger::line_of(int mid) const
{
    for (const flight_entry& e : in_flight_) {
        if (e.mid == mid) return &e.line;
    }
    return nullptr;
}

share_state publish_ledger::snapshot(const std::string& flight, const std::string& station)
{
    share_state state{flight, station, {}};
    for (const record& r : records_) {
        if (r.acked > 0) state.logs.push_back({*r.log, r.acked});
    }
    changed_ = false;
    return state;
}

std::vector<sent_log> publish_ledger::logs() const
{
    std::vector<sent_log> logs;
    for (const record& r : records_) logs.push_back({r.log, r.sent});
    return logs;
}
