// zarim-map fed through a real Mosquitto broker: three stations, each
// missing frames of its own, and the maps that show them as one flight;
// and what a map does with what no station sent.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <array>
#include <atomic>
#include <chrono>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "broker_feed.h"
#include "e2e/receiver_process.h"
#include "log_reading.h"
#include "live_flight.h"
#include "map/http_client.h"
#include "map/map_process.h"
#include "map_options.h"
#include "send/sender_process.h"
#include "share/share_process.h"
#include "station_record.h"
#include "support/mqtt_broker.h"
#include "support/real_flight_log.h"
#include "support/tcp_relay.h"

namespace {

using namespace std::chrono_literals;

constexpr int stations = 3;
constexpr std::size_t flight_lines = 1200;
constexpr auto settle_wait = 90s;

std::vector<std::string> real_lines(std::size_t count)
{
    std::vector<std::string> lines;
    std::istringstream log(real_flight_log());
    for (std::string line; lines.size() < count && std::getline(log, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

// Station k misses every frame i with i % 4 == k: each frame is heard by two
// stations or by all three.
bool hears(int station, std::size_t frame)
{
    return frame % 4 != static_cast<std::size_t>(station);
}

std::string file_text(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

nlohmann::json track_of(const std::string& geojson)
{
    const nlohmann::json document = nlohmann::json::parse(geojson);
    for (const nlohmann::json& feature : document["features"]) {
        if (feature["geometry"]["type"] == "LineString") return feature["geometry"]["coordinates"];
    }
    return nlohmann::json::array();
}

// The track a map following one log of these lines shows.
nlohmann::json whole_track(const std::vector<std::string>& lines)
{
    live_flight whole(std::nullopt);
    follow_news news;
    news.path = std::string("/") + real_flight_log_name;
    news.new_file = true;
    news.lines = lines;
    whole.apply(news, 0);
    return track_of(whole.track_geojson());
}

// Waits for `done`, up to `wait`.
template <typename Done>
bool eventually(Done done, std::chrono::seconds wait = settle_wait)
{
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(100ms);
    }
    return true;
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

// A station as a team runs it: a real receiver on a network of its own
// (each holds port 3000), fed by the real sender, with the frames only it
// lost; and its zarim-share.
struct station {
    std::string name;
    std::string directory;
    int network = -1;
    receiver_process receiver;
    share_process share;
    std::vector<std::string> arguments;  // zarim-share's
    std::size_t sent = 0;  // frames sent to it so far
};

class StationsThroughBroker : public testing::Test {
protected:
    void SetUp() override
    {
        for (station& s : stations_) {
            s.network = make_network_namespace();
            if (s.network < 0) {
                GTEST_SKIP() << "three receivers need a network each: run as root";
            }
        }
        std::string problem;
        ASSERT_TRUE(broker_.start(problem)) << problem;
        relay_ = std::make_unique<tcp_relay>(broker_.port());
        ASSERT_NE(relay_->port(), 0);
        base_ = scratch_directory("map-feed");
        lines_ = real_lines(flight_lines);
        ASSERT_EQ(lines_.size(), flight_lines);
        for (int k = 0; k < stations; ++k) {
            station& s = stations_[static_cast<std::size_t>(k)];
            s.name = "s" + std::to_string(k);
            s.directory = base_ + "/" + s.name;
            ASSERT_EQ(::mkdir(s.directory.c_str(), 0755), 0);
            ASSERT_TRUE(run_in_network(s.network, [&] { start_receiver(s.receiver, 24, 80, s.directory); }));
            bool listening = false;
            for (int i = 0; i < 200 && !listening; ++i) {
                read_output(s.receiver, 50);
                ASSERT_TRUE(run_in_network(s.network, [&] { listening = port_3000_taken(); }));
            }
            ASSERT_TRUE(listening) << s.name << "'s receiver never opened its port";
            // The last station reaches the broker through a link the test can cut.
            const std::string url = k == stations - 1 ? "mqtt://127.0.0.1:" + std::to_string(relay_->port())
                                                      : broker_.url();
            s.arguments = {"--broker", url, "--flight", "hab", "--station-name", s.name, s.directory};
            start_share(s.share, s.arguments, s.directory);
        }
        // A terminal nobody reads would stall its receiver.
        terminals_ = std::thread([this] {
            while (!stopping_) {
                for (station& s : stations_) {
                    read_output(s.receiver, 10);
                    s.receiver.output.clear();
                }
            }
        });
    }

    void TearDown() override
    {
        stopping_ = true;
        if (terminals_.joinable()) terminals_.join();
        for (map_process& map : maps_) {
            if (map.pid > 0) {
                EXPECT_EQ(stop_map(map), 0);
            }
        }
        for (station& s : stations_) {
            if (s.share.pid > 0) stop_share(s.share, SIGTERM);
            stop_receiver(s.receiver);
            if (s.network >= 0) ::close(s.network);
        }
        // What went wrong stays to be looked at.
        if (!base_.empty() && !HasFailure()) std::filesystem::remove_all(base_);
    }

    // Each station hears frames [from, to) but its own lost ones, sent
    // through its network by the sender, and logs them.
    void hear(std::size_t from, std::size_t to)
    {
        std::vector<pid_t> senders;
        for (int k = 0; k < stations; ++k) {
            station& s = stations_[static_cast<std::size_t>(k)];
            const std::string replay = base_ + "/replay-" + s.name + "-" + std::to_string(from) + ".txt";
            {
                std::ofstream out(replay, std::ios::binary);
                for (std::size_t i = from; i < to; ++i) {
                    if (!hears(k, i)) continue;
                    out << lines_[i] << "\r\n";
                    ++s.sent;
                }
            }
            pid_t sender = -1;
            ASSERT_TRUE(run_in_network(s.network, [&] {
                sender = start_sender_binary({"--replay", replay, "--rate", "200"});
            }));
            senders.push_back(sender);
        }
        for (const pid_t sender : senders) ASSERT_EQ(wait_for_sender(sender, 60000), 0);
        for (const station& s : stations_) {
            ASSERT_TRUE(eventually([&] { return lines_of(file_text(log_of(s))).size() == s.sent; }, 20s))
                << s.name << " logged " << lines_of(file_text(log_of(s))).size() << " of " << s.sent;
        }
    }

    static std::string log_of(const station& s)
    {
        for (const auto& entry : std::filesystem::directory_iterator(s.directory)) {
            if (entry.path().filename().string().rfind("QLT_", 0) == 0) return entry.path();
        }
        return s.directory + "/none";
    }

    // Every line the stations logged, once, in order: on each map's track,
    // in the stations' counts, and in the first map's record of each.
    void every_line_once(const std::string& after)
    {
        std::map<int, std::string> heard;
        for (const station& s : stations_) {
            for (const std::string& line : lines_of(file_text(log_of(s)))) {
                const parsed_line p = parse_log_line(line);
                ASSERT_TRUE(p.record) << line;
                heard.emplace(p.record->counter, line);
            }
        }
        std::vector<std::string> all;
        for (const auto& [counter, line] : heard) all.push_back(line);
        const nlohmann::json expected = whole_track(all);
        for (const map_process& map : maps_) {
            nlohmann::json track;
            EXPECT_TRUE(eventually([&] {
                track = track_of(http_get(map.port, "/track.geojson").body);
                return track == expected;
            })) << after << ": the map shows " << track.size() << " points, not " << expected.size();
        }
        nlohmann::json board;
        EXPECT_TRUE(eventually([&] {
            board = nlohmann::json::parse(http_get(maps_[0].port, "/status.json").body)["sharing"]["stations"];
            if (board.size() != stations) return false;
            for (const nlohmann::json& counted : board) {
                const station& s = stations_[static_cast<std::size_t>(counted["name"].get<std::string>()[1] - '0')];
                if (counted["lines"] != s.sent) return false;
            }
            return true;
        })) << after << ": " << board;
        for (const station& s : stations_) {
            const std::string record = base_ + "/record/" + s.name + "/" + std::filesystem::path(log_of(s)).filename().string();
            EXPECT_TRUE(eventually([&] { return file_text(record) == file_text(log_of(s)); }))
                << after << ": " << s.name << "'s record";
        }
    }

    void start_late_map(const std::vector<std::string>& more = {})
    {
        std::vector<std::string> arguments = {"--listen", "127.0.0.1:0", "--broker", broker_.url(), "--flight", "hab"};
        arguments.insert(arguments.end(), more.begin(), more.end());
        maps_.emplace_back();
        start_map(maps_.back(), arguments);
    }

    test_broker broker_;
    std::unique_ptr<tcp_relay> relay_;
    std::string base_;
    std::vector<std::string> lines_;
    std::array<station, stations> stations_;
    std::deque<map_process> maps_;
    std::atomic<bool> stopping_{false};
    std::thread terminals_;
};

}  // namespace

TEST_F(StationsThroughBroker, every_line_once_through_a_late_map_a_broker_down_a_share_killed_and_a_link_cut)
{
    start_late_map({"--record", base_ + "/record"});
    hear(0, flight_lines / 2);
    every_line_once("the first half");
    start_late_map();  // a chase car's laptop, opened halfway
    every_line_once("a map opened halfway");

    broker_.stop();
    const auto down = std::chrono::steady_clock::now();
    hear(flight_lines / 2, flight_lines * 2 / 3);
    std::this_thread::sleep_until(down + 30s);
    std::string problem;
    ASSERT_TRUE(broker_.start(problem)) << problem;
    every_line_once("the broker down for 30 s");

    station& killed = stations_[1];
    stop_share(killed.share, SIGKILL);
    hear(flight_lines * 2 / 3, flight_lines * 5 / 6);
    start_share(killed.share, killed.arguments, killed.directory);
    every_line_once("a zarim-share killed and started again");

    relay_->cut();
    hear(flight_lines * 5 / 6, flight_lines);
    std::this_thread::sleep_for(5s);
    relay_->restore();
    every_line_once("a station's link cut and restored");

    const nlohmann::json sharing = nlohmann::json::parse(http_get(maps_[0].port, "/status.json").body)["sharing"];
    for (const nlohmann::json& s : sharing["stations"]) {
        EXPECT_EQ(s["frames_only_here"], 0u) << s;  // every frame reached two stations
    }
    EXPECT_EQ(sharing["latest_heard_by"].size(), 3u);  // the last frame, 1199, reached every station
}

TEST(map_through_broker, what_no_station_sent_is_counted_and_never_drawn)
{
    test_broker broker;
    std::string problem;
    ASSERT_TRUE(broker.start(problem)) << problem;
    live_flight flight(std::nullopt);
    map_options options;
    options.broker = broker_login{{"127.0.0.1", broker.port(), false}, "", "", "", "", ""};
    options.flight = "f";
    feed_tuning tuning;
    tuning.lines_per_second = 20;
    tuning.burst = 50;
    broker_feed feed(options, flight, tuning);
    ASSERT_TRUE(feed.start(problem)) << problem;
    test_client client;
    ASSERT_TRUE(client.connect(broker.port(), {}, problem)) << problem;
    const std::vector<std::string> lines = real_lines(2);
    const auto line = [](const std::string& station, int number, const std::string& text) {
        return "line " + station + " 20220409 " + std::to_string(number) + "\n" + text;
    };
    const auto sharing = [&] { return flight.status_json()["sharing"]; };
    const auto wait_for = [&](const auto& done) {
        for (int i = 0; i < 300 && !done(); ++i) std::this_thread::sleep_for(20ms);
        return done();
    };
    // The feed listens once a station's first line reaches it.
    ASSERT_TRUE(wait_for([&] {
        client.publish("zarim/f/good/lines", line("good", 1, lines[0]));
        std::this_thread::sleep_for(100ms);
        return !sharing()["stations"].empty();
    }));

    struct row {
        std::string topic;
        std::string payload;
        const char* counted;
    };
    const std::vector<row> rows = {
        {"zarim/f/good/lines", std::string(5000, 'x'), "too_large"},
        {"zarim/f/good/lines", "hello", "unreadable"},
        {"zarim/f/good/lines", line("other", 2, lines[1]), "unreadable"},
        {"zarim/f/good/lines", line("good", 2, "one\nline too many"), "unreadable"},
        {"zarim/f/good/station", "station good 91 0", "unreadable"},
        {"zarim/f/not a name/lines", line("x", 1, lines[1]), "unknown_topic"},
        {"zarim/f/good/lines", line("good", 2, "\x1b[2J no frame"), "not_log_lines"},
    };
    for (const row& r : rows) client.publish(r.topic, r.payload);
    // A flood of one frame over and over, and more stations than a map shows.
    for (int i = 1; i <= 200; ++i) client.publish("zarim/f/noisy/lines", line("noisy", i, lines[0]));
    for (std::size_t i = 0; i < station_board::max_stations + 5; ++i) {
        client.publish("zarim/f/many" + std::to_string(i) + "/station", "station many" + std::to_string(i) + " 1 2");
    }
    client.publish("zarim/f/good/lines", line("good", 3, lines[1]));
    ASSERT_TRUE(wait_for([&] { return sharing()["stations"][0]["lines"] == 3; })) << sharing();

    const nlohmann::json refused = sharing()["refused"];
    std::map<std::string, int> expected;
    for (const row& r : rows) ++expected[r.counted];
    for (const auto& [counted, count] : expected) EXPECT_EQ(refused[counted], count) << counted;
    EXPECT_GT(refused["flood"], 0);
    EXPECT_EQ(refused["too_many_stations"], 7);  // good and noisy hold two of the places
    const nlohmann::json status = flight.status_json();
    EXPECT_EQ(status["points"], 2);  // good's two frames; noisy's are copies of the first
    EXPECT_EQ(sharing()["stations"].size(), station_board::max_stations);
    feed.stop();
}

TEST(map_through_broker, options_and_record_names)
{
    struct row {
        std::vector<const char*> arguments;
        const char* problem;  // "" when it parses
    };
    const std::vector<row> rows = {
        {{"--broker", "mqtt://b", "--flight", "hab"}, ""},
        {{"--broker", "mqtt://b"}, "--flight is needed"},
        {{"--flight", "hab"}, "go with --broker"},
        {{"--broker", "mqtt://b", "--flight", "a/b"}, "--flight: 'a/b'"},
        {{"--broker", "http://b", "--flight", "hab"}, "--broker wants"},
        {{"--broker", "mqtt://b", "--flight", "hab", "--cafile", "ca"}, "for a TLS broker"},
        {{"--broker", "mqtt://b", "--flight", "hab", "--password-file", "p"}, "needs --username"},
        {{"--broker", "mqtt://b", "--flight", "hab", "--record="}, "empty value"},
    };
    for (const row& r : rows) {
        std::vector<const char*> argv = {"zarim-map"};
        argv.insert(argv.end(), r.arguments.begin(), r.arguments.end());
        map_options options;
        std::string problem;
        const bool parsed = parse_map_options(static_cast<int>(argv.size()), argv.data(), options, problem);
        EXPECT_EQ(parsed, std::string(r.problem).empty()) << problem;
        EXPECT_NE(problem.find(r.problem), std::string::npos) << problem;
        if (parsed) {
            EXPECT_FALSE(options.follow_log);  // no log named: the stations alone
        }
    }
    for (const char* name : {"car-1", "hill.2", "A_b"}) EXPECT_TRUE(recordable_station(name)) << name;
    for (const char* name : {".", "..", ".hidden", "a/b", "", "a b"}) EXPECT_FALSE(recordable_station(name)) << name;
}
