// zarim-map --broker: every station's lines from an MQTT broker into the
// live flight, as zarim-share publishes them (share_protocol.h).
//
// Each station's log is taken in the order of its line numbers, each line
// once: a line already had is passed over, one after a gap waits (a
// bounded number of them) while the station is asked for the lines missing
// ("catch-up MAP STATION DATE FROM"); beyond the bound it is dropped and
// comes again with the answer. A map asks every station for its logs when
// it first connects, and again for what it may have missed whenever the
// broker did not keep its session. --record writes each line taken.
//
// The broker is not trusted: a message too large, one that does not read,
// one on a topic of no station, lines of a station beyond its share (a
// flood), and stations beyond the most a map shows are counted and shown
// on the page, never drawn. libmosquitto's thread only hands messages to a
// bounded queue; one thread of the feed's own reads them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "live_flight.h"
#include "map_options.h"
#include "mqtt_link.h"
#include "share_protocol.h"
#include "station_record.h"

struct feed_tuning {
    std::size_t queue = 4096;  // messages waiting for the feed's thread, at most
    // A station's lines a second (live ones and answers together) before
    // the rest is a flood; stations answer at most 1,000 a second.
    double lines_per_second = 5000;
    double burst = 10000;
    std::size_t held_lines = 4096;  // waiting behind a gap, per station's log
    std::size_t held_bytes = 32U << 20;  // waiting behind gaps, all stations
    std::chrono::milliseconds ask_again{10000};  // a request unanswered this long is made again
    std::chrono::milliseconds first_answers{30000};  // how long the first request covers every station
    // A station quiet this long is asked whether its log goes on beyond the
    // last line the map has: lines lost at the end of a burst leave no gap
    // until the next line comes.
    std::chrono::milliseconds quiet{30000};
    unsigned reconnect_min_seconds = 1;
    unsigned reconnect_max_seconds = 30;
};

class broker_feed {
public:
    broker_feed(const map_options& options, live_flight& flight, const feed_tuning& tuning = {});
    ~broker_feed();
    broker_feed(const broker_feed&) = delete;
    broker_feed& operator=(const broker_feed&) = delete;

    // Reads the password, makes the record's directory and starts the
    // connection. False with `problem` when any cannot be had.
    bool start(std::string& problem);
    void stop();

    // The name the map answers to: zarim/FLIGHT/STATION/reply/NAME.
    [[nodiscard]] const std::string& map_name() const { return map_name_; }

private:
    struct station_log {
        std::string station;
        std::string date;
        std::uint64_t next = 1;  // the line number taken next
        std::uint64_t highest = 0;  // the highest seen: a gap while it is next or beyond
        std::map<std::uint64_t, std::string> held;  // lines after a gap
        std::size_t held_bytes = 0;
        std::optional<std::chrono::steady_clock::time_point> asked;
        std::chrono::steady_clock::time_point last_line{};  // when a line of it last came
    };
    struct station_state {
        std::string name;
        double tokens = 0;
        std::chrono::steady_clock::time_point refilled{};
        bool answered_first = false;  // it answered the request of the map's start
    };
    // Lines ready for the flight, consecutive ones of one log together.
    struct delivery {
        std::string station;
        std::string date;
        std::vector<std::string> lines;
    };

    void listen(link_event event);
    void work();
    void handle(const link_event& event, std::vector<delivery>& out);
    void take_message(const link_event& event, std::vector<delivery>& out);
    void take_line(shared_line line, std::vector<delivery>& out);
    void deliver(station_log& log, std::string text, std::vector<delivery>& out);
    void take_caught_up(const caught_up& done);
    void ask_for_gaps(std::chrono::steady_clock::time_point now);
    void ask(station_log& log, std::chrono::steady_clock::time_point now);
    void ask_everyone();
    void connect_again(mqtt_version version);
    station_state* admit(const std::string& station);
    bool within_share(station_state& station, std::chrono::steady_clock::time_point now);
    station_log& log_of(const std::string& station, const std::string& date);
    void refuse(std::uint64_t refused_input::*count, const std::string& why);
    void publish_request(const catchup_request& request);
    void show_connection(std::string text);

    std::string flight_name_;
    std::string map_name_;
    broker_login login_;
    std::string record_directory_;
    live_flight& flight_;
    feed_tuning tuning_;
    std::optional<station_record> record_;
    std::optional<mqtt_link> link_;
    mqtt_version version_ = mqtt_version::v5;

    // The feed thread's own.
    std::vector<station_state> stations_;
    std::deque<station_log> logs_;
    std::size_t held_bytes_ = 0;
    int subscriptions_ = 0;
    bool asked_everyone_ = false;
    bool session_kept_ = false;
    std::chrono::steady_clock::time_point first_asked_{};
    std::map<std::string, std::uint64_t> repeated_;  // lines had already, since the board had them
    refused_input refused_;  // counted since the last time the board had them
    bool refused_changed_ = false;
    std::string last_refusal_;

    // Between libmosquitto's thread and the feed's.
    std::mutex mutex_;
    std::condition_variable ready_;
    std::condition_variable room_;
    std::deque<link_event> queue_;
    bool stopping_ = false;
    bool restarting_ = false;
    std::thread worker_;
};
