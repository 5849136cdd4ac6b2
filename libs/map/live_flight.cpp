#include "live_flight.h"

#include <algorithm>
#include <ctime>
#include <sstream>
#include <utility>

#include "fields.h"
#include "flight_time.h"
#include "map_json.h"
#include "text_safety.h"
#include "geodesy.h"
#include "landing_estimate.h"

namespace {

constexpr std::int64_t seconds_per_day = 86400;
// A new file whose first frame lies further than this from the flight's
// last one starts a new flight rather than continuing it.
constexpr std::int64_t flight_break = 3600;
// The receiver's warnings: a frame more than this after the one before it,
// and a battery below this.
constexpr std::int64_t gap_warning_seconds = 30;
constexpr float low_battery_volts = 1.6F;

std::int64_t floor_div(std::int64_t a, std::int64_t b)
{
    const std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

civil_date today()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr) return civil_date{};
    return civil_date{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday};
}

void append_digits(std::string& text, int value, int width)
{
    std::string digits = std::to_string(value);
    if (digits.size() < static_cast<std::size_t>(width))
        digits.insert(0, static_cast<std::size_t>(width) - digits.size(), '0');
    text += digits;
}

// The name the reader wants, for the day the lines are to be placed on.
std::string name_for(const civil_date& date)
{
    std::string name = "QLT_";
    append_digits(name, date.year, 4);
    append_digits(name, date.month, 2);
    append_digits(name, date.day, 2);
    return name + ".txt";
}

// A line that reads as a frame at this time of day and nothing more: put
// before the new lines, it lets the reader place them on the calendar as
// it would have, had it read the whole file at once.
std::string context_line(std::int32_t seconds_of_day)
{
    std::string line = "0,";
    append_digits(line, seconds_of_day / 3600, 2);
    line += ':';
    append_digits(line, seconds_of_day / 60 % 60, 2);
    line += ':';
    append_digits(line, seconds_of_day % 60, 2);
    return line + ",1,1,0,0,0,0,0,0";
}

std::string base_name(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::int64_t now_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

live_flight::live_flight(std::optional<station_option> station, std::size_t stream_limit)
    : station_(station), stream_limit_(stream_limit)
{
}

void live_flight::set_waiting_text(std::string text)
{
    const std::lock_guard lock(mutex_);
    if (text == waiting_text_) return;
    waiting_text_ = std::move(text);
    ++status_version_;
    changed_.notify_all();
}

void live_flight::apply(const follow_news& news, std::int64_t received_ms)
{
    const std::lock_guard lock(mutex_);
    bool status_changed = false;
    if (news.path != following_) {
        following_ = news.path;
        status_changed = true;
    }
    if (news.new_file || (logs_.empty() && !news.path.empty())) {
        begin_log(news.path);
        status_changed = true;
    }
    if (news.restarted && !logs_.empty()) restart_log();

    if (!news.lines.empty() && !logs_.empty()) {
        const bool had_records = !readings_.back().records.empty();
        const std::size_t added = read_lines(news.lines, received_ms);
        const std::uint64_t generation = generation_;
        if (!had_records && added > 0) keep_flight_together();
        rebuild();
        if (generation == generation_) {
            // A new generation is loaded whole by its pages; otherwise each
            // new record is one event, the oldest dropped beyond the bound.
            const log_reading& reading = readings_.back();
            const std::size_t count = reading.records.size();
            const std::size_t first = count - std::min(added, kept_events);
            frames_ += added - (count - first);
            for (std::size_t k = first; k < count; ++k) {
                std::string event = "id: " + std::to_string(generation_) + ":" +
                                    std::to_string(frames_) + "\nevent: frame\ndata: " +
                                    frame_event(readings_.size() - 1, k).dump() + "\n\n";
                events_.push_back(std::move(event));
                ++frames_;
                if (events_.size() > kept_events) events_.pop_front();
            }
        }
        status_changed = true;
    }
    if (status_changed) ++status_version_;
    changed_.notify_all();
}

void live_flight::begin_log(const std::string& path)
{
    // A file that gave nothing is no part of the flight.
    if (!readings_.empty() && readings_.back().records.empty()) {
        readings_.pop_back();
        logs_.pop_back();
    }
    // A file followed before and now growing again is read whole again, so
    // its earlier reading goes, and the pages start over without it.
    for (std::size_t i = 0; i < readings_.size(); ++i) {
        if (readings_[i].path != path) continue;
        readings_.erase(readings_.begin() + static_cast<std::ptrdiff_t>(i));
        logs_.erase(logs_.begin() + static_cast<std::ptrdiff_t>(i));
        rebuild();
        start_new_generation();
        break;
    }
    log_reading reading;
    reading.path = path;
    followed_log log;
    const std::optional<civil_date> date = log_file_date(path);
    log.dated_by_name = date.has_value();
    reading.date = date.value_or(today());
    readings_.push_back(std::move(reading));
    logs_.push_back(std::move(log));
}

void live_flight::restart_log()
{
    log_reading& reading = readings_.back();
    reading.records.clear();
    reading.problems.clear();
    reading.unfinished_lines = 0;
    logs_.back().received_ms.clear();
    logs_.back().lines = 0;
    rebuild();
    start_new_generation();
}

void live_flight::start_new_generation()
{
    ++generation_;
    events_.clear();
    frames_ = 0;
    for (const log_reading& reading : readings_) frames_ += reading.records.size();
}

std::size_t live_flight::read_lines(const std::vector<std::string>& lines, std::int64_t received_ms)
{
    log_reading& reading = readings_.back();
    followed_log& log = logs_.back();
    const bool with_context = !reading.records.empty();
    civil_date date = reading.date;
    std::string text;
    if (with_context) {
        const dated_record& last = reading.records.back();
        date = civil_from_days(floor_div(last.local_time, seconds_per_day));
        text = context_line(last.frame.seconds_of_day);
        text += '\n';
    }
    for (const std::string& line : lines) {
        text += line;
        text += '\n';
    }
    const log_reading part = read_log_text(name_for(date), text);

    // Line numbers count from the file's start; the context line is none.
    const std::uint64_t shift = log.lines - (with_context ? 1 : 0);
    std::size_t added = 0;
    for (dated_record record : part.records) {
        if (with_context && record.line == 1) continue;
        record.line += shift;
        reading.records.push_back(record);
        log.received_ms.push_back(received_ms);
        ++added;
    }
    for (line_problem problem : part.problems) {
        if (with_context && problem.line == 1) continue;
        problem.line += shift;
        reading.problems.push_back(std::move(problem));
    }
    reading.unfinished_lines += part.unfinished_lines;
    log.lines += lines.size();
    return added;
}

void live_flight::keep_flight_together()
{
    if (readings_.size() < 2) return;
    std::optional<std::int64_t> last_earlier;
    for (std::size_t i = 0; i + 1 < readings_.size(); ++i) {
        for (const dated_record& r : readings_[i].records)
            last_earlier = std::max(last_earlier.value_or(r.local_time), r.local_time);
    }
    const std::int64_t first_new = readings_.back().records.front().local_time;
    if (last_earlier && first_new >= *last_earlier - flight_break &&
        first_new <= *last_earlier + flight_break) {
        return;  // the receiver started again during the flight
    }
    readings_.erase(readings_.begin(), readings_.end() - 1);
    logs_.erase(logs_.begin(), logs_.end() - 1);
    start_new_generation();
}

void live_flight::rebuild()
{
    model_ = build_flight(readings_, std::nullopt);
    highest_.resize(model_.points.size());
    for (std::size_t i = 0; i < model_.points.size(); ++i) {
        highest_[i] = i > 0 && model_.points[highest_[i - 1]].frame.altitude >=
                                   model_.points[i].frame.altitude
                          ? highest_[i - 1]
                          : i;
    }
}

std::optional<std::size_t> live_flight::point_of(std::size_t log, std::size_t record) const
{
    const dated_record& r = readings_[log].records[record];
    const std::vector<flight_point>& points = model_.points;
    // New frames are nearly always the latest points: look from the end.
    auto at = std::upper_bound(points.begin(), points.end(), r.local_time,
                               [](std::int64_t t, const flight_point& p) { return t < p.local_time; });
    while (at != points.begin()) {
        --at;
        if (at->local_time != r.local_time) break;
        if (at->source == log && at->line == r.line)
            return static_cast<std::size_t>(at - points.begin());
    }
    return std::nullopt;
}

nlohmann::json live_flight::frame_event(std::size_t log, std::size_t record) const
{
    const dated_record& r = readings_[log].records[record];
    nlohmann::json event = timed_frame_fields(r.frame, r.local_time, model_.utc_offset);
    event["file"] = utf8_text(base_name(readings_[log].path));
    event["line"] = r.line;
    event["clock_seconds"] = r.local_time;
    event["received_ms"] = logs_[log].received_ms[record];

    // The receiver's warnings, as it would show this line: the time since
    // the frame before it, and the battery.
    const dated_record* previous = nullptr;
    if (record > 0) {
        previous = &readings_[log].records[record - 1];
    } else {
        for (std::size_t l = log; l-- > 0 && previous == nullptr;) {
            if (!readings_[l].records.empty()) previous = &readings_[l].records.back();
        }
    }
    if (previous != nullptr) {
        const std::int64_t gap = r.local_time - previous->local_time;
        event["gap"] = gap;
        event["gap_warning"] = gap > gap_warning_seconds;
    } else {
        event["gap"] = nullptr;
        event["gap_warning"] = false;
    }
    event["battery_warning"] = static_cast<float>(r.frame.battery_voltage) < low_battery_volts;
    event["position_usable"] = is_possible_position(r.frame.latitude, r.frame.longitude);

    const std::optional<std::size_t> point = point_of(log, record);
    event["point"] = point ? nlohmann::json(*point) : nlohmann::json(nullptr);
    const std::size_t at = point ? *point : model_.points.size();
    // Without a fix of its own the frame is shown with the flight as it
    // stood at the fix before it.
    std::size_t reference = at;
    if (!point) {
        reference = model_.points.size();
        for (std::size_t i = model_.points.size(); i-- > 0;) {
            if (model_.points[i].local_time <= r.local_time) {
                reference = i;
                break;
            }
        }
    }
    add_flight_state(event, reference);
    return event;
}

void live_flight::add_flight_state(nlohmann::json& event, std::size_t at) const
{
    const std::vector<flight_point>& points = model_.points;
    if (at >= points.size()) {
        for (const char* key : {"stage", "derived_climb_rate", "launch", "highest", "burst",
                                "distance_from_launch", "landing_estimate", "station"})
            event[key] = nullptr;
        return;
    }
    const int offset = model_.utc_offset;
    // The flight as far as it has happened by this point.
    const auto by_then = [&](const std::optional<std::size_t>& index) {
        return index && *index <= at ? point_fields(points[*index], offset) : nlohmann::json(nullptr);
    };
    const flight_stage stage = stage_at(model_, at);
    event["stage"] = stage_name(stage);
    event["derived_climb_rate"] = points[at].climb_rate;
    event["launch"] = by_then(model_.liftoff);
    event["highest"] = point_fields(points[highest_[at]], offset);
    event["burst"] = by_then(model_.burst);
    const flight_point& start =
        model_.liftoff && *model_.liftoff <= at ? points[*model_.liftoff] : points.front();
    event["distance_from_launch"] = ground_path(start.frame.latitude, start.frame.longitude,
                                                points[at].frame.latitude,
                                                points[at].frame.longitude)
                                        .distance;
    const double ground = ground_level();
    const std::optional<landing_estimate> landing =
        stage == flight_stage::descent ? estimate_landing(points, at, ground) : std::nullopt;
    event["landing_estimate"] =
        landing ? landing_json(*landing, offset) : nlohmann::json(nullptr);
    event["station"] =
        station_ ? look_json(*station_, ground, points[at], offset) : nlohmann::json(nullptr);
}

double live_flight::ground_level() const
{
    if (model_.points.empty()) return 0;
    return ground_altitude(model_).value_or(model_.points.front().frame.altitude);
}

std::vector<extra_place> live_flight::places_locked() const
{
    const std::vector<flight_point>& points = model_.points;
    std::optional<landing_estimate> landing;
    if (!points.empty() && stage_at(model_, model_.last) == flight_stage::descent)
        landing = estimate_landing(points, model_.last, ground_level());
    return live_places(landing, station_, ground_level(), model_.utc_offset);
}

std::string live_flight::latest_event_locked() const
{
    for (std::size_t log = readings_.size(); log-- > 0;) {
        if (!readings_[log].records.empty())
            return json_text(frame_event(log, readings_[log].records.size() - 1));
    }
    return "null";
}

nlohmann::json live_flight::status_locked() const
{
    nlohmann::json status;
    status["following"] =
        following_.empty() ? nlohmann::json(nullptr) : nlohmann::json(utf8_text(following_));
    status["waiting"] = utf8_text(waiting_text_);
    nlohmann::json files = nlohmann::json::array();
    for (std::size_t i = 0; i < readings_.size(); ++i) {
        files.push_back({{"path", utf8_text(readings_[i].path)},
                         {"lines", logs_[i].lines},
                         {"dated_by_name", logs_[i].dated_by_name}});
    }
    status["files"] = std::move(files);
    status["frames"] = model_.counts.frames_read;
    status["points"] = model_.points.size();
    status["unreadable_lines"] = model_.counts.unreadable_lines;
    status["impossible_positions"] = model_.counts.impossible;
    status["duplicates"] = model_.counts.duplicates;
    status["missing_frames"] = model_.counts.missing;
    status["unfinished_lines"] = model_.counts.unfinished_lines;
    nlohmann::json last_problem = nullptr;
    for (std::size_t i = readings_.size(); i-- > 0 && last_problem.is_null();) {
        if (readings_[i].problems.empty()) continue;
        const line_problem& p = readings_[i].problems.back();
        last_problem = {{"file", utf8_text(base_name(readings_[i].path))},
                        {"line", p.line},
                        {"reason", utf8_text(p.reason)}};
    }
    status["last_problem"] = std::move(last_problem);
    status["generation"] = generation_;
    status["pages"] = streams_;
    return status;
}

std::string live_flight::track_geojson() const
{
    const std::lock_guard lock(mutex_);
    // Foreign members (RFC 7946, 6.1): what a page needs to go on live from
    // exactly this state.
    const nlohmann::json live = {{"zarim",
                                  {{"generation", generation_},
                                   {"next_event", frames_},
                                   {"server_ms", now_ms()},
                                   {"latest", nlohmann::json::parse(latest_event_locked())},
                                   {"status", status_locked()}}}};
    std::ostringstream text;
    write_geojson(text, model_, document_title(), places_locked(), live);
    return text.str();
}

std::string live_flight::track_kml() const
{
    const std::lock_guard lock(mutex_);
    std::ostringstream text;
    write_kml(text, model_, document_title(), places_locked());
    return text.str();
}

std::string live_flight::document_title() const
{
    return following_.empty() ? std::string("Zarim live flight") : base_name(following_);
}

nlohmann::json live_flight::look_from(const station_option& station) const
{
    const std::lock_guard lock(mutex_);
    if (model_.points.empty()) return look_json(station, 0, std::nullopt, model_.utc_offset);
    return look_json(station, ground_level(), model_.points.back(), model_.utc_offset);
}

nlohmann::json live_flight::status_json() const
{
    const std::lock_guard lock(mutex_);
    return status_locked();
}

bool live_flight::join_stream()
{
    const std::lock_guard lock(mutex_);
    if (closed_ || streams_ >= stream_limit_) return false;
    ++streams_;
    ++status_version_;
    changed_.notify_all();
    return true;
}

void live_flight::leave_stream()
{
    const std::lock_guard lock(mutex_);
    if (streams_ > 0) --streams_;
    ++status_version_;
    changed_.notify_all();
}

std::size_t live_flight::streams() const
{
    const std::lock_guard lock(mutex_);
    return streams_;
}

stream_cursor live_flight::place_stream(const std::string& last_event_id,
                                        std::optional<std::uint64_t> generation,
                                        std::optional<std::uint64_t> from) const
{
    const std::lock_guard lock(mutex_);
    stream_cursor cursor;
    cursor.generation = generation_;
    cursor.next = frames_;
    std::uint64_t id_generation = 0;
    std::uint64_t id_sequence = 0;
    char end = 0;
    // NOLINTNEXTLINE(cert-err34-c): the %c catches anything after the numbers
    if (std::sscanf(last_event_id.c_str(), "%lu:%lu%c", &id_generation, &id_sequence, &end) == 2) {
        cursor.generation = id_generation;
        cursor.next = id_sequence + 1;
    } else if (generation && from) {
        cursor.generation = *generation;
        cursor.next = *from;
    }
    return cursor;
}

bool live_flight::next_events(stream_cursor& cursor, std::string& out,
                              std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    const auto has_news = [&] {
        return closed_ || !cursor.clock_sent || cursor.generation != generation_ ||
               cursor.next < frames_ || cursor.status_sent != status_version_;
    };
    if (!changed_.wait_for(lock, timeout, has_news)) {
        out += "event: clock\ndata: " + nlohmann::json{{"server_ms", now_ms()}}.dump() + "\n\n";
        return true;
    }
    if (closed_) return false;
    if (!cursor.clock_sent) {
        out += "event: clock\ndata: " + nlohmann::json{{"server_ms", now_ms()}}.dump() + "\n\n";
        cursor.clock_sent = true;
    }
    const std::uint64_t first_kept = frames_ - events_.size();
    if (cursor.generation != generation_ || cursor.next < first_kept || cursor.next > frames_) {
        // Another flight, or further behind than the events kept: the page
        // loads the track again and goes on from there.
        out += "event: reset\ndata: " + nlohmann::json{{"generation", generation_}}.dump() + "\n\n";
        cursor.generation = generation_;
        cursor.next = frames_;
    }
    const std::uint64_t end = std::min<std::uint64_t>(frames_, cursor.next + events_per_write);
    for (; cursor.next < end; ++cursor.next) out += events_[cursor.next - first_kept];
    if (cursor.status_sent != status_version_) {
        out += "event: status\ndata: " + json_text(status_locked()) + "\n\n";
        cursor.status_sent = status_version_;
    }
    return true;
}

void live_flight::close()
{
    const std::lock_guard lock(mutex_);
    closed_ = true;
    changed_.notify_all();
}
