#include "flight_reading.h"

#include <memory>

namespace {

// The shortest line the receiver writes (" 1 ,00:00:00, 0 , 0 , 0 , 0 ,
// 0 , 0 , 0 , 0 " and its line end): no log has more frames than its bytes
// over this. Room for the points is taken once from the logs' sizes; pages
// never written are never resident, so too much room costs nothing.
constexpr std::uint64_t shortest_line = 46;
// Beyond this the points grow as they come, rather than on a guess.
constexpr std::uint64_t most_points_reserved = std::uint64_t{1} << 22;

// One log being read: the frames of its line read last, and which of them
// is next.
struct open_log {
    explicit open_log(const std::string& path) : file(path) {}
    log_file_lines file;
    std::size_t source = 0;
    line_outcome outcome;
    std::size_t next = 0;
    bool done = false;
};

// Reads on until the log has a frame to offer, counting and reporting the
// lines that have none. False at its end.
bool offer_frame(open_log& log, flight_builder& builder, const log_report& report)
{
    while (!log.done && log.next >= log.outcome.record_count) {
        if (!log.file.next(log.outcome)) {
            log.done = true;
            if (!log.file.failure().empty()) {
                builder.count_unreadable_log(log.source);
                if (report.unreadable_log) report.unreadable_log(log.file.path(), log.file.failure());
            }
            break;
        }
        log.next = 0;
        builder.count_lines(log.source, log.outcome.reason != nullptr ? 1 : 0, log.outcome.unfinished ? 1 : 0);
        if (log.outcome.reason != nullptr && report.unreadable_line)
            report.unreadable_line(log.file.path(), log.outcome.line, log.outcome.reason);
    }
    return !log.done;
}

}  // namespace

flight read_flight(const std::vector<std::string>& paths, std::optional<int> utc_offset,
                   const log_report& report)
{
    flight_builder builder(utc_offset);
    std::vector<std::unique_ptr<open_log>> logs;
    std::uint64_t bytes = 0;
    for (const std::string& path : paths) {
        auto log = std::make_unique<open_log>(path);
        if (!log->file.failure().empty()) {
            builder.add_log(std::nullopt);
            if (report.unreadable_log) report.unreadable_log(path, log->file.failure());
            continue;
        }
        log->source = builder.add_log(log->file.date());
        bytes += log->file.size();
        logs.push_back(std::move(log));
    }
    builder.reserve(static_cast<std::size_t>(std::min(bytes / shortest_line, most_points_reserved)));

    // The earliest frame any log offers goes next (the first log's on equal
    // times), so the flight takes frames nearly in order; a log's own late
    // frames still find their place.
    for (const auto& log : logs) offer_frame(*log, builder, report);
    for (;;) {
        open_log* earliest = nullptr;
        for (const auto& log : logs) {
            if (log->done) continue;
            if (earliest == nullptr || log->outcome.records[log->next].local_time <
                                           earliest->outcome.records[earliest->next].local_time)
                earliest = log.get();
        }
        if (earliest == nullptr) break;
        builder.add(earliest->source, earliest->outcome.records[earliest->next]);
        ++earliest->next;
        offer_frame(*earliest, builder, report);
    }
    return builder.finish();
}
