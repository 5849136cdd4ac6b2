// The broker's stations' lines in the live flight: each station's log a
// source of its own after the local logs, so that the flight places their
// frames in time order and counts a frame heard by several stations once.
#include <algorithm>
#include <ctime>

#include "live_flight.h"
#include "fields.h"
#include "wall_clock.h"

namespace {

// A page shown frames placed behind the latest loads the whole track again;
// not more often than this.
constexpr std::int64_t behind_pause_ms = 1000;
// Every page gets the status whole whenever it changes: with fifty
// stations it changes with every line, and is sent at most this often.
constexpr std::int64_t status_pause_ms = 500;

civil_date date_of(const std::string& date)
{
    if (const std::optional<civil_date> named = log_file_date("QLT_" + date + ".txt")) return *named;
    // An undated log's lines are dated today, as a local one's would be.
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr) return civil_date{};
    return civil_date{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday};
}

}  // namespace

live_flight::shared_log& live_flight::shared_log_of(const std::string& station, const std::string& date)
{
    for (shared_log& log : shared_logs_) {
        if (log.station == station && log.date == date) return log;
    }
    const civil_date day = date_of(date);
    flight_.add_log(day);
    shared_logs_.push_back(shared_log{station, date, log_reader(day), 0});
    return shared_logs_.back();
}

void live_flight::apply_shared(const std::string& station, const std::string& date,
                               const std::vector<std::string>& lines, std::int64_t received_ms)
{
    // The predictor is fed here and asked in flush_shared(), once a batch.
    const std::lock_guard applying(apply_mutex_);
    const std::lock_guard lock(mutex_);
    sharing_ = true;
    const std::optional<std::size_t> board_index = board_.station(station);
    if (!board_index) {
        note_sharing_locked();
        return;
    }
    shared_log_of(station, date);
    std::size_t index = 0;
    while (shared_logs_[index].station != station || shared_logs_[index].date != date) ++index;
    const std::size_t source = logs_.size() + index;
    const std::size_t first_with_event = lines.size() > kept_events ? lines.size() - kept_events : 0;
    for (std::size_t k = 0; k < lines.size(); ++k) {
        shared_log& log = shared_logs_[index];
        board_.count_line(*board_index, false);
        const line_outcome outcome = log.reader.feed(lines[k]);
        if (outcome.reason != nullptr) {
            refused_input& refused = board_.refused();
            ++refused.not_log_lines;
            refused.last = station + " line " + std::to_string(outcome.line) + ": " + outcome.reason;
        }
        flight_.count_lines(source, outcome.reason != nullptr ? 1 : 0, outcome.unfinished ? 1 : 0);
        for (std::size_t r = 0; r < outcome.record_count; ++r) {
            take_shared_frame(index, *board_index, outcome.records[r], k >= first_with_event, received_ms);
        }
    }
    note_sharing_locked();
    changed_.notify_all();
    show_behind_locked(received_ms);
}

void live_flight::take_shared_frame(std::size_t index, std::size_t board_index, const dated_record& record,
                                    bool with_event, std::int64_t received_ms)
{
    const std::size_t source = logs_.size() + index;
    const flight_counts before = flight_.current().counts;
    const std::optional<std::size_t> point = flight_.add(source, record);
    const std::int64_t utc = record.local_time - std::int64_t{flight_.current().utc_offset} * 60;
    board_.heard(board_index, record.local_time, static_cast<std::int16_t>(record.frame.counter), utc);
    // Another station's copy of a frame the flight has: nothing new to show.
    if (flight_.current().counts.duplicates != before.duplicates) return;
    ++shared_logs_[index].frames;
    if (!point && flight_.current().counts.impossible == before.impossible) {
        // Far back in the flight: it waits for the next settle().
        behind_ = true;
        return;
    }
    const bool newest = !latest_ || record.local_time >= latest_->record.local_time;
    const bool at_end = point ? *point + 1 == flight_.current().points.size() : newest;
    if (!newest || !at_end) {
        // A frame from before the latest (a station's late line, or an
        // answer to a catch-up) goes into the flight unseen; the pages load
        // the track again for it.
        behind_ = true;
        return;
    }
    latest_ = latest_frame{record, point, received_ms, previous_time_};
    if (point) take_sample(flight_.current().points[*point]);
    shared_latest_ = index;
    previous_time_ = record.local_time;
    count_frame_locked(with_event);
}

void live_flight::flush_shared(std::int64_t now)
{
    const std::lock_guard applying(apply_mutex_);
    std::vector<track_sample> again;
    int utc_offset = 0;
    {
        const std::lock_guard lock(mutex_);
        if (sharing_changed_) note_sharing_locked();
        show_behind_locked(now);
        utc_offset = flight_.current().utc_offset;
        again = samples_again_locked();
    }
    update_prediction(again, utc_offset);
}

// Frames far back are placed all at once (a pass over the whole flight),
// and only this often: a late map's catch-up from many stations brings
// them with every line, and placing them line by line would cost the
// flight's length each time.
void live_flight::show_behind_locked(std::int64_t now)
{
    if (!behind_ || now - behind_shown_ms_ < behind_pause_ms) return;
    behind_ = false;
    behind_shown_ms_ = now;
    flight_.settle();
    if (latest_) latest_->point = flight_.point_of(latest_source(), latest_->record);
    latest_event_.clear();
    start_new_generation();
    ++status_version_;
    changed_.notify_all();
}

void live_flight::note_sharing_locked()
{
    sharing_changed_ = true;
    const std::int64_t now = now_ms();
    if (now - sharing_shown_ms_ < status_pause_ms) return;
    sharing_changed_ = false;
    sharing_shown_ms_ = now;
    ++status_version_;
    changed_.notify_all();
}

// After the flight began anew from a local log: the stations' logs start
// again empty (a catch-up brings back what belongs to the new flight).
void live_flight::restore_shared_logs()
{
    for (shared_log& log : shared_logs_) {
        const civil_date day = date_of(log.date);
        flight_.add_log(day);
        log.reader = log_reader(day);
        log.frames = 0;
    }
    shared_latest_.reset();
    board_.forget_frames();
}

std::size_t live_flight::shared_frames() const
{
    std::size_t frames = 0;
    for (const shared_log& log : shared_logs_) frames += log.frames;
    return frames;
}

std::string live_flight::latest_file() const
{
    if (shared_latest_) {
        const shared_log& log = shared_logs_[*shared_latest_];
        return log.station + "/" + (log.date == "-" ? std::string("undated") : "QLT_" + log.date + ".txt");
    }
    if (logs_.empty()) return {};
    const std::string& path = logs_.back().path;
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::size_t live_flight::latest_source() const
{
    return shared_latest_ ? logs_.size() + *shared_latest_ : logs_.size() - 1;
}
