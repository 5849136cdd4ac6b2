#include "broker_feed.h"

#include <mqtt_protocol.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <utility>

#include "map_messages.h"
#include "wall_clock.h"

namespace {

using clock = std::chrono::steady_clock;

// Between two looks for gaps to ask about, and the wait for messages.
constexpr auto tick = std::chrono::milliseconds(250);
// How long the broker keeps the map's session while it is away: long
// enough for a broker restarted or a network lost for a while; a map
// gone for longer asks the stations again anyway.
constexpr std::uint32_t map_session_seconds = 3600;
// The logs of one station kept in order at once (a receiver started again
// after midnight starts another).
constexpr std::size_t logs_per_station = 8;

std::string printable(std::string_view text)
{
    std::string shown;
    for (const char c : text.substr(0, 300)) shown += c >= 0x20 && c < 0x7f ? c : '?';
    return shown;
}

// A name no other map of the flight has: the replies to this one's
// requests come on a topic of its own.
std::string fresh_map_name()
{
    std::random_device random;
    char name[16];
    static_cast<void>(std::snprintf(name, sizeof name, "map-%08x", static_cast<unsigned>(random())));
    return name;
}

bool credentials_refused(int code, mqtt_version version)
{
    if (version == mqtt_version::v311) return code == 4 || code == 5;
    return code == MQTT_RC_BAD_USERNAME_OR_PASSWORD || code == MQTT_RC_NOT_AUTHORIZED;
}

}  // namespace

broker_feed::broker_feed(const map_options& options, live_flight& flight, const feed_tuning& tuning)
    : flight_name_(options.flight),
      map_name_(fresh_map_name()),
      login_(options.broker.value_or(broker_login{})),
      record_directory_(options.record_directory),
      flight_(flight),
      tuning_(tuning)
{
}

broker_feed::~broker_feed()
{
    stop();
}

bool broker_feed::start(std::string& problem)
{
    std::string password;
    if (!login_.password_file.empty() && !read_password_file(login_.password_file, password, problem)) return false;
    if (!record_directory_.empty()) {
        record_.emplace(record_directory_);
        if (!record_->start(problem)) return false;
    }
    link_settings settings =
        login_settings(login_, "zarim-map/" + flight_name_ + "/" + map_name_, std::move(password));
    settings.reconnect_min_seconds = tuning_.reconnect_min_seconds;
    settings.reconnect_max_seconds = tuning_.reconnect_max_seconds;
    settings.session_expiry_seconds = map_session_seconds;
    link_.emplace(std::move(settings), [this](link_event event) { listen(std::move(event)); });
    flight_.change_board([&](station_board& board) { board.set_connection("connecting to " + broker_url(login_.broker)); });
    std::string unreachable;
    if (!link_->start(version_, problem, unreachable)) return false;
    if (!unreachable.empty()) {
        complain("cannot reach the broker at " + broker_url(login_.broker) + " yet (" + printable(unreachable) +
                 "); trying again");
    }
    worker_ = std::thread([this] { work(); });
    return true;
}

void broker_feed::stop()
{
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    ready_.notify_all();
    room_.notify_all();
    if (worker_.joinable()) worker_.join();
    if (link_) link_->stop();
}

// libmosquitto's thread: a full queue holds it back (the broker keeps the
// rest meanwhile), except while the feed's thread replaces the client.
void broker_feed::listen(link_event event)
{
    std::unique_lock lock(mutex_);
    room_.wait(lock, [&] { return queue_.size() < tuning_.queue || stopping_ || restarting_; });
    if (stopping_ || restarting_) return;
    queue_.push_back(std::move(event));
    ready_.notify_one();
}

void broker_feed::work()
{
    std::vector<link_event> batch;
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            ready_.wait_for(lock, tick, [&] { return !queue_.empty() || stopping_; });
            if (stopping_) return;
            batch.assign(std::make_move_iterator(queue_.begin()), std::make_move_iterator(queue_.end()));
            queue_.clear();
        }
        room_.notify_all();
        std::vector<delivery> out;
        for (const link_event& event : batch) handle(event, out);
        batch.clear();
        const std::int64_t received = now_ms();
        for (const delivery& d : out) flight_.apply_shared(d.station, d.date, d.lines, received);
        if (!repeated_.empty()) {
            flight_.change_board([&](station_board& board) {
                for (const auto& [name, count] : repeated_) {
                    if (const auto index = board.station(name)) board.count_line(*index, true, count);
                }
            });
            repeated_.clear();
        }
        if (refused_changed_) {
            flight_.change_board([&](station_board& board) {
                refused_input& total = board.refused();
                total.too_large += refused_.too_large;
                total.unreadable += refused_.unreadable;
                total.unknown_topic += refused_.unknown_topic;
                total.flood += refused_.flood;
                total.too_many_stations += refused_.too_many_stations;
                total.unrecordable += refused_.unrecordable;
                total.last = refused_.last;
            });
            refused_ = {};
            refused_changed_ = false;
        }
        ask_for_gaps(clock::now());
        flight_.flush_shared(received);
    }
}

void broker_feed::show_connection(std::string text)
{
    flight_.change_board([&](station_board& board) { board.set_connection(std::move(text)); });
}

void broker_feed::connect_again(mqtt_version version)
{
    version_ = version;
    {
        const std::lock_guard lock(mutex_);
        restarting_ = true;
    }
    room_.notify_all();
    link_->stop();
    {
        const std::lock_guard lock(mutex_);
        restarting_ = false;
        queue_.clear();
    }
    std::string problem;
    std::string unreachable;
    if (!link_->start(version_, problem, unreachable)) {
        complain(problem);
        show_connection(problem);
    }
}

void broker_feed::handle(const link_event& event, std::vector<delivery>& out)
{
    using kind = link_event::kind;
    switch (event.what) {
    case kind::connected:
        session_kept_ = event.flag;
        subscriptions_ = 0;
        show_connection("connected to " + broker_url(login_.broker) + " as " + map_name_);
        link_->subscribe(lines_filter(flight_name_));
        link_->subscribe(stations_filter(flight_name_));
        link_->subscribe(replies_filter(flight_name_, map_name_));
        return;
    case kind::refused:
        if (version_ == mqtt_version::v5 && event.code == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION) {
            connect_again(mqtt_version::v311);
            return;
        }
        {
            const std::string why = "the broker at " + broker_url(login_.broker) + " refused the map: " +
                                    printable(reason_text(event.code, version_)) +
                                    (credentials_refused(event.code, version_)
                                         ? " (check --username and --password-file, or --cert)"
                                         : "");
            // Said once: libmosquitto tries again, and the broker says the same.
            if (why != last_refusal_) complain(why);
            last_refusal_ = why;
            show_connection(why);
        }
        return;
    case kind::lost:
        show_connection("lost the connection to " + broker_url(login_.broker) + " (" +
                        printable(mqtt_error_text(event.code)) + "); trying again");
        return;
    case kind::subscribed:
        if (event.code >= 128) {
            const std::string why = "the broker lets this map read none of the flight's " +
                                    std::string(subscriptions_ == 0 ? "lines" : "messages") + " (" +
                                    printable(reason_text(event.code, version_)) + ")";
            complain(why);
            show_connection(why);
        }
        // The requests go once the map listens for every answer: the lines
        // come one way or the other.
        if (++subscriptions_ == 3 && !session_kept_) ask_everyone();
        return;
    case kind::too_large:
        refuse(&refused_input::too_large, "a message of " + std::to_string(event.code) + " bytes");
        return;
    case kind::message:
        take_message(event, out);
        return;
    case kind::acknowledged:
    case kind::rejected:
    case kind::library_said:
        return;
    }
}

void broker_feed::refuse(std::uint64_t refused_input::*count, const std::string& why)
{
    ++(refused_.*count);
    refused_.last = why;
    refused_changed_ = true;
}

broker_feed::station_state* broker_feed::admit(const std::string& station)
{
    for (station_state& s : stations_) {
        if (s.name == station) return &s;
    }
    if (stations_.size() >= station_board::max_stations) {
        refuse(&refused_input::too_many_stations, "station " + station + ": more stations than a map shows");
        return nullptr;
    }
    stations_.push_back(station_state{station, tuning_.burst, clock::now(), false});
    return &stations_.back();
}

// A token bucket per station: what a station sends beyond its share is a
// flood, dropped before it costs more than the counting.
bool broker_feed::within_share(station_state& station, clock::time_point now)
{
    const double seconds = std::chrono::duration<double>(now - station.refilled).count();
    station.tokens = std::min(tuning_.burst, station.tokens + seconds * tuning_.lines_per_second);
    station.refilled = now;
    if (station.tokens < 1) {
        refuse(&refused_input::flood, "station " + station.name + " sends more than a station can");
        return false;
    }
    station.tokens -= 1;
    return true;
}

void broker_feed::take_message(const link_event& event, std::vector<delivery>& out)
{
    share_message message;
    std::string problem;
    if (!read_share_message(flight_name_, event.topic, event.text, message, problem)) {
        const bool no_station = problem.starts_with("a topic");
        refuse(no_station ? &refused_input::unknown_topic : &refused_input::unreadable,
               problem + (no_station ? " (" + printable(event.topic.substr(0, 80)) + ")" : ""));
        return;
    }
    if (auto* line = std::get_if<shared_line>(&message)) {
        if (!line->reply_to.empty() && line->reply_to != map_name_) return;  // another map's answer
        // The log is split at its line feeds: one inside a line is no line of a log.
        if (line->text.find('\n') != std::string::npos) {
            refuse(&refused_input::unreadable, "a line of " + line->station + " with a line feed in it");
            return;
        }
        station_state* station = admit(line->station);
        if (station == nullptr || !within_share(*station, clock::now())) return;
        take_line(std::move(*line), out);
    } else if (auto* position = std::get_if<station_position>(&message)) {
        if (admit(position->station) == nullptr) return;
        flight_.change_board([&](station_board& board) {
            if (const auto index = board.station(position->station)) board.set_position(*index, *position);
        });
    } else if (auto* done = std::get_if<caught_up>(&message)) {
        if (done->reply_to == map_name_ && admit(done->station) != nullptr) take_caught_up(*done);
    }
    // A catch-up request is another map's business.
}

broker_feed::station_log& broker_feed::log_of(const std::string& station, const std::string& date)
{
    for (station_log& log : logs_) {
        if (log.station == station && log.date == date) return log;
    }
    const auto count = std::count_if(logs_.begin(), logs_.end(), [&](const station_log& l) { return l.station == station; });
    if (static_cast<std::size_t>(count) >= logs_per_station) {
        // The station's oldest log taken least recently goes.
        const auto oldest = std::find_if(logs_.begin(), logs_.end(), [&](const station_log& l) { return l.station == station; });
        held_bytes_ -= oldest->held_bytes;
        logs_.erase(oldest);
    }
    logs_.push_back(station_log{station, date, 1, 0, {}, 0, std::nullopt, clock::now()});
    return logs_.back();
}

void broker_feed::take_line(shared_line line, std::vector<delivery>& out)
{
    station_log& log = log_of(line.station, line.date);
    log.highest = std::max(log.highest, line.number);
    log.last_line = clock::now();
    if (line.number < log.next || log.held.contains(line.number)) {
        ++repeated_[line.station];
        return;
    }
    if (line.number > log.next) {
        // After a gap: kept within the bounds, and asked for from the gap.
        if (log.held.size() < tuning_.held_lines && held_bytes_ + line.text.size() <= tuning_.held_bytes) {
            log.held_bytes += line.text.size();
            held_bytes_ += line.text.size();
            log.held.emplace(line.number, std::move(line.text));
        }
        return;
    }
    deliver(log, std::move(line.text), out);
    while (!log.held.empty() && log.held.begin()->first == log.next) {
        auto first = log.held.begin();
        log.held_bytes -= first->second.size();
        held_bytes_ -= first->second.size();
        std::string text = std::move(first->second);
        log.held.erase(first);
        deliver(log, std::move(text), out);
    }
    // Lines the answer brought that were held as well.
    while (!log.held.empty() && log.held.begin()->first < log.next) {
        log.held_bytes -= log.held.begin()->second.size();
        held_bytes_ -= log.held.begin()->second.size();
        log.held.erase(log.held.begin());
    }
}

void broker_feed::deliver(station_log& log, std::string text, std::vector<delivery>& out)
{
    if (record_) {
        std::string problem;
        if (!record_->append(log.station, log.date, log.next, text, problem)) {
            refuse(&refused_input::unrecordable, printable(problem));
        }
    }
    ++log.next;
    if (out.empty() || out.back().station != log.station || out.back().date != log.date) {
        out.push_back(delivery{log.station, log.date, {}});
    }
    out.back().lines.push_back(std::move(text));
}

void broker_feed::take_caught_up(const caught_up& done)
{
    for (station_state& s : stations_) {
        if (s.name == done.station) s.answered_first = true;
    }
    for (station_log& log : logs_) {
        if (log.station == done.station) log.asked.reset();
    }
    // Lines the answer says there are and the map has not: the answer fell
    // short (a broker queue that overflowed), so they are asked for again.
    const clock::time_point now = clock::now();
    for (const log_extent& extent : done.logs) {
        station_log& log = log_of(done.station, extent.date);
        if (extent.last >= log.next) ask(log, now);
    }
}

void broker_feed::ask(station_log& log, clock::time_point now)
{
    log.asked = now;
    publish_request(catchup_request{map_name_, log.station, log.date, log.next});
}

void broker_feed::ask_everyone()
{
    if (!asked_everyone_) {
        // The map has nothing yet: every station, every log.
        asked_everyone_ = true;
        first_asked_ = clock::now();
        publish_request(catchup_request{map_name_, "", "", 1});
        return;
    }
    // The broker lost the map's session: what each station sent meanwhile.
    const clock::time_point now = clock::now();
    for (station_log& log : logs_) {
        const bool latest = std::none_of(logs_.begin(), logs_.end(), [&](const station_log& other) {
            return other.station == log.station && other.date > log.date;
        });
        if (latest) ask(log, now);
    }
}

void broker_feed::ask_for_gaps(clock::time_point now)
{
    for (station_log& log : logs_) {
        if (log.highest < log.next) {
            const bool latest = std::none_of(logs_.begin(), logs_.end(), [&](const station_log& other) {
                return other.station == log.station && other.date > log.date;
            });
            const bool quiet = now - log.last_line >= tuning_.quiet && (!log.asked || now - *log.asked >= tuning_.quiet);
            if (latest && quiet) ask(log, now);
            continue;
        }
        if (log.asked && now - *log.asked < tuning_.ask_again) continue;
        // The answer to the map's first request brings it.
        const auto station = std::find_if(stations_.begin(), stations_.end(),
                                          [&](const station_state& s) { return s.name == log.station; });
        const bool first_coming = asked_everyone_ && now - first_asked_ < tuning_.first_answers &&
                                  station != stations_.end() && !station->answered_first;
        if (first_coming) continue;
        ask(log, now);
    }
}

void broker_feed::publish_request(const catchup_request& request)
{
    int mid = 0;
    std::string problem;
    if (!link_->publish(catchup_topic(flight_name_), catchup_payload(request), false, mid, problem)) {
        complain("cannot ask the stations for the flight so far: " + printable(problem));
    }
}
