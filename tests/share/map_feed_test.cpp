// zarim-map fed through a real Mosquitto broker: three stations, each
// missing frames of its own, and the maps that show them as one flight;
// and what a map does with what no station sent.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "broker_feed.h"
#include "live_flight.h"
#include "map/http_client.h"
#include "map/map_process.h"
#include "map_options.h"
#include "share/share_process.h"
#include "station_record.h"
#include "support/mqtt_broker.h"
#include "support/real_flight_log.h"

namespace {

using namespace std::chrono_literals;

constexpr int stations = 3;
constexpr std::size_t flight_lines = 1200;

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

void append_heard(const std::string& path, const std::vector<std::string>& lines, int station, std::size_t from,
                  std::size_t to)
{
    std::ofstream out(path, std::ios::binary | std::ios::app);
    for (std::size_t i = from; i < to; ++i) {
        if (hears(station, i)) out << lines[i] << "\r\n";
    }
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

// The track a map following one log of every frame shows.
nlohmann::json whole_track(const std::vector<std::string>& lines, std::size_t count)
{
    live_flight whole(std::nullopt);
    follow_news news;
    news.path = std::string("/") + real_flight_log_name;
    news.new_file = true;
    news.lines.assign(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(count));
    whole.apply(news, 0);
    return track_of(whole.track_geojson());
}

// Waits up to a minute for the map's track to be `expected`.
::testing::AssertionResult shows(const map_process& map, const nlohmann::json& expected)
{
    nlohmann::json track;
    for (int i = 0; i < 600; ++i) {
        track = track_of(http_get(map.port, "/track.geojson").body);
        if (track == expected) return ::testing::AssertionSuccess();
        std::this_thread::sleep_for(100ms);
    }
    return ::testing::AssertionFailure() << "the map shows " << track.size() << " points, not " << expected.size();
}

}  // namespace

TEST(map_through_broker, every_stations_frame_once_through_late_maps_outages_and_restarts)
{
    // A broker that keeps no sessions across its restart: the maps find
    // out what they missed from the stations.
    test_broker broker;
    std::string problem;
    ASSERT_TRUE(broker.start(problem)) << problem;
    const std::string base = scratch_directory("map-feed");
    const std::vector<std::string> lines = real_lines(flight_lines);
    ASSERT_EQ(lines.size(), flight_lines);

    std::vector<std::string> logs;
    std::vector<share_process> shares(stations);
    const auto share_arguments = [&](int k) {
        return std::vector<std::string>{"--broker", broker.url(), "--flight", "hab", "--station-name",
                                        "s" + std::to_string(k), logs[static_cast<std::size_t>(k)]};
    };
    const std::size_t half = flight_lines / 2;
    for (int k = 0; k < stations; ++k) {
        const std::string directory = base + "/s" + std::to_string(k);
        ASSERT_EQ(::mkdir(directory.c_str(), 0755), 0);
        logs.push_back(directory + "/" + real_flight_log_name);
        append_heard(logs.back(), lines, k, 0, half);
        start_share(shares[static_cast<std::size_t>(k)], share_arguments(k), directory);
    }
    const std::vector<std::string> map_arguments = {"--listen", "127.0.0.1:0", "--broker", broker.url(), "--flight",
                                                    "hab", "--record", base + "/record"};
    map_process first;
    start_map(first, map_arguments);
    EXPECT_TRUE(shows(first, whole_track(lines, half)));
    map_process late;
    start_map(late, {"--listen", "127.0.0.1:0", "--broker", broker.url(), "--flight", "hab"});
    EXPECT_TRUE(shows(late, whole_track(lines, half)));

    // Live lines, then the broker down while the stations go on hearing,
    // one zarim-share killed and started again meanwhile.
    const std::size_t three_quarters = flight_lines * 3 / 4;
    for (int k = 0; k < stations; ++k) append_heard(logs[static_cast<std::size_t>(k)], lines, k, half, three_quarters);
    std::this_thread::sleep_for(1s);
    broker.stop();
    for (int k = 0; k < stations; ++k) {
        append_heard(logs[static_cast<std::size_t>(k)], lines, k, three_quarters, flight_lines * 7 / 8);
    }
    stop_share(shares[1], SIGKILL);
    ASSERT_TRUE(broker.start(problem)) << problem;
    start_share(shares[1], share_arguments(1), base + "/s1");
    for (int k = 0; k < stations; ++k) {
        append_heard(logs[static_cast<std::size_t>(k)], lines, k, flight_lines * 7 / 8, flight_lines);
    }
    const nlohmann::json whole = whole_track(lines, flight_lines);
    EXPECT_TRUE(shows(first, whole));
    EXPECT_TRUE(shows(late, whole));

    // Every frame is heard twice at least: the track can be whole before
    // every station's lines are in.
    const auto heard_by = [&](int k) {
        std::uint64_t heard = 0;
        for (std::size_t i = 0; i < flight_lines; ++i) heard += hears(k, i) ? 1 : 0;
        return heard;
    };
    nlohmann::json status;
    const auto all_lines_in = [&] {
        status = nlohmann::json::parse(http_get(first.port, "/status.json").body);
        const nlohmann::json& board = status["sharing"]["stations"];
        if (board.size() != stations) return false;
        for (const nlohmann::json& station : board) {
            if (station["lines"] != heard_by(station["name"].get<std::string>()[1] - '0')) return false;
        }
        return true;
    };
    for (int i = 0; i < 600 && !all_lines_in(); ++i) std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(all_lines_in()) << status["sharing"];
    for (const nlohmann::json& station : status["sharing"]["stations"]) {
        EXPECT_EQ(station["frames_only_here"], 0u) << station;  // every frame reached two stations
    }
    EXPECT_EQ(status["sharing"]["latest_heard_by"].size(), 3u);  // the last frame, 1199, reached every station
    for (int k = 0; k < stations; ++k) {
        const std::string name = "s" + std::to_string(k);
        EXPECT_EQ(file_text(base + "/record/" + name + "/" + real_flight_log_name),
                  file_text(logs[static_cast<std::size_t>(k)]))
            << name;
    }
    for (share_process& share : shares) stop_share(share, SIGTERM);
    EXPECT_EQ(stop_map(first), 0);
    EXPECT_EQ(stop_map(late), 0);
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
