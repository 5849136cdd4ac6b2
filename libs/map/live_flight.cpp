#include "live_flight.h"

#include <algorithm>
#include <ctime>
#include <sstream>
#include <utility>

#include "documents.h"
#include "fields.h"
#include "flight_time.h"
#include "geodesy.h"
#include "map_json.h"
#include "text_safety.h"
#include "wall_clock.h"

namespace {

// A new file whose first frame lies further than this from the flight's
// last one starts a new flight rather than continuing it.
constexpr std::int64_t flight_break = 3600;
// The receiver's warnings: a frame more than this after the one before it,
// and a battery below this.
constexpr std::int64_t gap_warning_seconds = 30;
constexpr float low_battery_volts = 1.6F;

civil_date today()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr) return civil_date{};
    return civil_date{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday};
}

std::string base_name(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

live_flight::live_flight(std::optional<station_option> station, std::size_t stream_limit,
                         const prediction_settings& prediction)
    : station_(station),
      stream_limit_(stream_limit),
      prediction_settings_(prediction),
      predictor_(make_landing_predictor(prediction))
{
}

void live_flight::set_waiting_text(std::string text)
{
    const std::lock_guard lock(mutex_);
    if (text == waiting_text_) return;
    waiting_text_ = std::move(text);
    ++status_version_;
    ++document_version_;
    changed_.notify_all();
}

void live_flight::apply(const follow_news& news, std::int64_t received_ms)
{
    const std::lock_guard applying(apply_mutex_);
    std::vector<track_sample> again;
    int utc_offset = 0;
    {
        const std::lock_guard lock(mutex_);
        read_news(news, received_ms);
        utc_offset = flight_.current().utc_offset;
        again = samples_again_locked();
    }
    update_prediction(again, utc_offset);
}

// When the points moved or went, the prediction starts over from them: the
// fixes to feed it again, and no prediction meanwhile.
std::vector<track_sample> live_flight::samples_again_locked()
{
    std::vector<track_sample> again;
    if (!predictor_stale_) return again;
    const std::vector<flight_point>& points = flight_.current().points;
    again.reserve(points.size());
    for (const flight_point& p : points)
        again.push_back({static_cast<double>(p.utc_time), p.frame.latitude, p.frame.longitude,
                         static_cast<double>(p.frame.altitude)});
    prediction_.reset();
    prediction_json_ = nullptr;
    prediction_text_ = "null";
    ++prediction_version_;
    ++document_version_;  // the documents carry the prediction too
    changed_.notify_all();
    return again;
}

void live_flight::update_prediction(const std::vector<track_sample>& again, int utc_offset)
{
    if (predictor_stale_) {
        predictor_stale_ = false;
        predictor_ = make_landing_predictor(prediction_settings_);
        predictor_fed_ = false;
        for (const track_sample& sample : again) {
            if (!add_track_sample(predictor_, sample)) continue;
            predictor_fed_ = true;
            last_fix_time_ = sample.time;
        }
    }
    if (!predictor_fed_) return;
    predictor_fed_ = false;
    // Once per batch of lines read: a day's log read at start-up costs one
    // prediction, a line a second one a second.
    std::optional<landing_prediction> made = predict_landing(predictor_);
    nlohmann::json fields =
        made ? prediction_json(*made, last_fix_time_, utc_offset, station_) : nlohmann::json(nullptr);
    std::string text = json_text(fields);
    const std::lock_guard lock(mutex_);
    prediction_ = std::move(made);
    prediction_json_ = std::move(fields);
    prediction_text_ = std::move(text);
    ++prediction_version_;
    ++document_version_;  // the documents carry the prediction too
    changed_.notify_all();
}

void live_flight::take_sample(const flight_point& point)
{
    const track_sample sample{static_cast<double>(point.utc_time), point.frame.latitude, point.frame.longitude,
                              static_cast<double>(point.frame.altitude)};
    if (!add_track_sample(predictor_, sample)) return;
    predictor_fed_ = true;
    last_fix_time_ = sample.time;
}

void live_flight::read_news(const follow_news& news, std::int64_t received_ms)
{
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
    const std::uint64_t generation = generation_;
    const std::uint64_t frames = frames_;
    if (!news.lines.empty() && !logs_.empty()) {
        read_lines(news.lines, received_ms);
        status_changed = true;
    }
    if (status_changed) ++status_version_;
    // A look that found nothing new wakes no page.
    if (status_changed || generation != generation_ || frames != frames_) {
        ++document_version_;
        changed_.notify_all();
    }
}

void live_flight::begin_log(const std::string& path)
{
    // A file that gave nothing is no part of the flight.
    if (!logs_.empty() && logs_.back().frames == 0) {
        flight_.remove_log(logs_.size() - 1);
        logs_.pop_back();
    }
    // A file followed before and now growing again is read whole again, so
    // its earlier frames go, and the pages start over without them.
    for (std::size_t i = 0; i < logs_.size(); ++i) {
        if (logs_[i].path != path) continue;
        flight_.remove_log(i);
        logs_.erase(logs_.begin() + static_cast<std::ptrdiff_t>(i));
        latest_.reset();
        start_new_generation();
        break;
    }
    const std::optional<civil_date> named = log_file_date(path);
    const civil_date date = named.value_or(today());
    logs_.push_back(followed_log{path, log_reader(date), named.has_value(), 0, 0, 0, std::nullopt, std::nullopt});
    flight_.insert_log(logs_.size() - 1, date);
}

void live_flight::restart_log()
{
    followed_log& log = logs_.back();
    const std::optional<civil_date> named = log_file_date(log.path);
    const civil_date date = named.value_or(today());
    flight_.remove_log(logs_.size() - 1);
    flight_.insert_log(logs_.size() - 1, date);
    log = followed_log{log.path, log_reader(date), named.has_value(), 0, 0, 0, std::nullopt, std::nullopt};
    previous_time_.reset();
    for (std::size_t i = logs_.size() - 1; i-- > 0 && !previous_time_;) previous_time_ = logs_[i].last_time;
    latest_.reset();
    start_new_generation();
}

void live_flight::start_new_generation()
{
    ++generation_;
    predictor_stale_ = true;
    events_.clear();
    frames_ = 0;
    for (const followed_log& log : logs_) frames_ += log.frames;
    frames_ += shared_frames();
}

void live_flight::read_lines(const std::vector<std::string>& lines, std::int64_t received_ms)
{
    // Events beyond the kept ones would only be dropped again: the lines
    // before the last kept_events of a long read (a day's log at start-up)
    // go into the flight without one.
    const std::size_t first_with_event = lines.size() > kept_events ? lines.size() - kept_events : 0;
    for (std::size_t k = 0; k < lines.size(); ++k) {
        followed_log& log = logs_.back();
        const line_outcome outcome = log.reader.feed(lines[k]);
        if (outcome.reason != nullptr) {
            ++log.unreadable;
            log.last_problem = line_problem{outcome.line, outcome.reason};
        }
        if (outcome.unfinished) ++log.unfinished;
        flight_.count_lines(logs_.size() - 1, outcome.reason != nullptr ? 1 : 0, outcome.unfinished ? 1 : 0);
        for (std::size_t r = 0; r < outcome.record_count; ++r)
            take_frame(outcome.records[r], k >= first_with_event, received_ms);
    }
    // Frames that belong far back in the flight (two logs joined end to
    // end) go in all at once; the points move, so the pages load the track
    // again.
    if (flight_.settle()) {
        if (latest_) latest_->point = flight_.point_of(latest_source(), latest_->record);
        latest_event_.clear();
        start_new_generation();
    }
}

void live_flight::take_frame(const dated_record& record, bool with_event, std::int64_t received_ms)
{
    if (logs_.back().frames == 0 && keep_flight_together(record.local_time)) start_new_generation();
    followed_log& log = logs_.back();
    latest_ = latest_frame{record, flight_.add(logs_.size() - 1, record), received_ms, previous_time_};
    shared_latest_.reset();
    // A fix earlier than the last is for the track only: the predictor
    // takes the flight forwards.
    const std::vector<flight_point>& points = flight_.current().points;
    if (latest_->point && *latest_->point + 1 == points.size()) take_sample(points.back());
    ++log.frames;
    log.last_time = std::max(log.last_time.value_or(record.local_time), record.local_time);
    previous_time_ = record.local_time;
    count_frame_locked(with_event);
}

// The latest frame counted, and its event kept for the pages unless it
// goes out with a reload of the track instead.
void live_flight::count_frame_locked(bool with_event)
{
    latest_event_.clear();
    if (!with_event) {
        // The events kept must follow on one another.
        events_.clear();
        ++frames_;
        return;
    }
    latest_event_ = json_text(frame_event(*latest_));
    events_.push_back("id: " + std::to_string(generation_) + ":" + std::to_string(frames_) +
                      "\nevent: frame\ndata: " + latest_event_ + "\n\n");
    ++frames_;
    if (events_.size() > kept_events) events_.pop_front();
}

// The first frame of a new file: a receiver started again during the
// flight continues it, a file whose frames lie hours from the flight's
// starts another. True when the earlier files were let go.
bool live_flight::keep_flight_together(std::int64_t first_time)
{
    if (logs_.size() < 2) return false;
    std::optional<std::int64_t> last_earlier;
    for (std::size_t i = 0; i + 1 < logs_.size(); ++i) {
        if (logs_[i].last_time) last_earlier = std::max(last_earlier.value_or(*logs_[i].last_time), *logs_[i].last_time);
    }
    if (last_earlier && first_time >= *last_earlier - flight_break && first_time <= *last_earlier + flight_break)
        return false;
    followed_log current = std::move(logs_.back());
    logs_.clear();
    flight_ = flight_builder();
    const std::optional<civil_date> named = log_file_date(current.path);
    flight_.add_log(named.value_or(today()));
    flight_.count_lines(0, current.unreadable, current.unfinished);
    logs_.push_back(std::move(current));
    restore_shared_logs();
    previous_time_.reset();
    latest_.reset();
    return true;
}

nlohmann::json live_flight::frame_event(const latest_frame& frame) const
{
    const dated_record& record = frame.record;
    const std::optional<std::size_t> point = frame.point;
    const flight& f = flight_.current();
    const int offset = f.utc_offset;
    nlohmann::json event = timed_frame_fields(record.frame, record.local_time, offset);
    event["file"] = utf8_text(latest_file());
    event["line"] = record.line;
    event["clock_seconds"] = record.local_time;
    event["received_ms"] = frame.received_ms;
    // The receiver's warnings, as it would show this line: the time since
    // the frame before it, and the battery.
    if (frame.previous) {
        const std::int64_t gap = record.local_time - *frame.previous;
        event["gap"] = gap;
        event["gap_warning"] = gap > gap_warning_seconds;
    } else {
        event["gap"] = nullptr;
        event["gap_warning"] = false;
    }
    event["battery_warning"] = static_cast<float>(record.frame.battery_voltage) < low_battery_volts;
    event["position_usable"] = is_possible_position(record.frame.latitude, record.frame.longitude);
    event["point"] = point ? nlohmann::json(*point) : nlohmann::json(nullptr);
    // Without a fix of its own the frame is shown with the flight as it
    // stood at the fix before it.
    std::size_t at = f.points.size();
    if (point) {
        at = *point;
    } else {
        const auto after = std::upper_bound(f.points.begin(), f.points.end(), record.local_time,
                                            [](std::int64_t t, const flight_point& p) { return t < p.local_time; });
        if (after != f.points.begin()) at = static_cast<std::size_t>(after - f.points.begin()) - 1;
    }
    add_flight_state(event, at);
    return event;
}

// The launch, the burst and, in the descent, the highest point stay the same
// point frame after frame: each is written once.
const nlohmann::json& live_flight::place_of(const flight_point& point, int offset) const
{
    for (const known_place& known : places_) {
        if (known.local_time == point.local_time && known.source == point.source && known.line == point.line &&
            known.offset == offset)
            return known.json;
    }
    places_[next_place_] = known_place{point.local_time, point.source, point.line, offset, point_fields(point, offset)};
    const std::size_t made = next_place_;
    next_place_ = (next_place_ + 1) % places_.size();
    return places_[made].json;
}

void live_flight::add_flight_state(nlohmann::json& event, std::size_t at) const
{
    const flight& f = flight_.current();
    const std::vector<flight_point>& points = f.points;
    if (at >= points.size()) {
        for (const char* key : {"stage", "derived_climb_rate", "launch", "highest", "burst",
                                "distance_from_launch", "station"})
            event[key] = nullptr;
        return;
    }
    const int offset = f.utc_offset;
    const flight_stage stage = stage_at(f, at);
    const flight_point& here = points[at];
    event["stage"] = stage_name(stage);
    event["derived_climb_rate"] = here.climb_rate;
    event["highest"] = place_of(points[f.highest], offset);
    event["burst"] = f.burst ? place_of(points[*f.burst], offset) : nlohmann::json(nullptr);
    if (f.liftoff) {
        const flight_point& launch = points[*f.liftoff];
        event["launch"] = place_of(launch, offset);
        event["distance_from_launch"] = ground_path(launch.frame.latitude, launch.frame.longitude,
                                                    here.frame.latitude, here.frame.longitude)
                                            .distance;
    } else {
        event["launch"] = nullptr;
        event["distance_from_launch"] = nullptr;
    }
    const std::optional<double> ground = ground_altitude(f);
    event["station"] = station_ ? look_json(*station_, ground.value_or(0), here, offset) : nlohmann::json(nullptr);
}

std::vector<extra_place> live_flight::places_locked(bool with_radius) const
{
    return live_places(prediction_, prediction_json_, station_, ground_altitude(flight_.current()).value_or(0),
                       with_radius);
}

std::string live_flight::document_title() const
{
    return following_.empty() ? std::string("Zarim live flight") : base_name(following_);
}

nlohmann::json live_flight::latest_locked() const
{
    if (!latest_) return nullptr;
    return latest_event_.empty() ? frame_event(*latest_) : nlohmann::json::parse(latest_event_);
}

nlohmann::json live_flight::status_locked() const
{
    const flight_counts& counts = flight_.current().counts;
    nlohmann::json status;
    status["following"] =
        following_.empty() ? nlohmann::json(nullptr) : nlohmann::json(utf8_text(following_));
    status["waiting"] = utf8_text(waiting_text_);
    nlohmann::json files = nlohmann::json::array();
    for (const followed_log& log : logs_) {
        files.push_back(
            {{"path", utf8_text(log.path)}, {"lines", log.reader.lines()}, {"dated_by_name", log.dated_by_name}});
    }
    status["files"] = std::move(files);
    status["frames"] = counts.frames_read;
    status["points"] = flight_.current().points.size();
    status["unreadable_lines"] = counts.unreadable_lines;
    status["impossible_positions"] = counts.impossible;
    status["duplicates"] = counts.duplicates;
    status["missing_frames"] = counts.missing;
    status["unfinished_lines"] = counts.unfinished_lines;
    nlohmann::json last_problem = nullptr;
    for (std::size_t i = logs_.size(); i-- > 0 && last_problem.is_null();) {
        if (!logs_[i].last_problem) continue;
        const line_problem& p = *logs_[i].last_problem;
        last_problem = {{"file", utf8_text(base_name(logs_[i].path))},
                        {"line", p.line},
                        {"reason", utf8_text(p.reason)}};
    }
    status["last_problem"] = std::move(last_problem);
    status["generation"] = generation_;
    status["pages"] = streams_;
    if (sharing_) status["sharing"] = board_.json(now_ms());
    return status;
}

std::string live_flight::track_geojson() const
{
    return *geojson_document();
}

document_text live_flight::geojson_document(std::chrono::steady_clock::time_point asked) const
{
    std::unique_lock lock(mutex_);
    return geojson_.get(lock, {generation_, document_version_}, asked, [this]() -> document_cache::writer {
        // Foreign members (RFC 7946, 6.1): what a page needs to go on live
        // from exactly this state.
        nlohmann::json live = {{"zarim",
                                {{"generation", generation_},
                                 {"next_event", frames_},
                                 {"server_ms", now_ms()},
                                 {"latest", latest_locked()},
                                 {"status", status_locked()},
                                 {"prediction", prediction_json_}}}};
        return [copy = flight_.current(), title = document_title(), places = places_locked(false),
                live = std::move(live)] {
            std::ostringstream text;
            write_geojson(text, copy, title, places, live);
            return std::move(text).str();
        };
    });
}

std::string live_flight::track_kml() const
{
    return *kml_document();
}

document_text live_flight::kml_document(std::chrono::steady_clock::time_point asked) const
{
    std::unique_lock lock(mutex_);
    return kml_.get(lock, {generation_, document_version_}, asked, [this]() -> document_cache::writer {
        return [copy = flight_.current(), title = document_title(), places = places_locked(true)] {
            std::ostringstream text;
            write_kml(text, copy, title, places);
            return std::move(text).str();
        };
    });
}

std::uint64_t live_flight::documents_made() const
{
    return geojson_.made() + kml_.made();
}

nlohmann::json live_flight::look_from(const station_option& station) const
{
    const std::lock_guard lock(mutex_);
    const flight& f = flight_.current();
    if (f.points.empty()) return look_json(station, 0, std::nullopt, f.utc_offset);
    nlohmann::json look = look_json(station, ground_altitude(f).value_or(0), f.points.back(), f.utc_offset);
    look["landing"] = prediction_ ? towards_landing(station.latitude, station.longitude, *prediction_)
                                  : nlohmann::json(nullptr);
    return look;
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
               cursor.next < frames_ || cursor.status_sent != status_version_ ||
               cursor.prediction_sent != prediction_version_;
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
    if (cursor.prediction_sent != prediction_version_) {
        out += "event: prediction\ndata: " + prediction_text_ + "\n\n";
        cursor.prediction_sent = prediction_version_;
    }
    return true;
}

void live_flight::close()
{
    const std::lock_guard lock(mutex_);
    closed_ = true;
    changed_.notify_all();
}
