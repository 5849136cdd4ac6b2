// The command line: GNU conventions, negative coordinates as values, and
// every value checked before anything starts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "map_options.h"

namespace {

struct parsed {
    bool ok = false;
    map_options options;
    std::string problem;
};

parsed parse(std::vector<const char*> arguments)
{
    arguments.insert(arguments.begin(), "zarim-map");
    parsed result;
    result.ok = parse_map_options(static_cast<int>(arguments.size()), arguments.data(),
                                  result.options, result.problem);
    return result;
}

}  // namespace

TEST(map_options, defaults_serve_this_computer_only_and_search_the_current_directory)
{
    const parsed p = parse({});
    ASSERT_TRUE(p.ok) << p.problem;
    EXPECT_EQ(p.options.listen_host, "127.0.0.1");
    EXPECT_EQ(p.options.listen_port, 8080);
    EXPECT_EQ(p.options.log_path, ".");
    EXPECT_FALSE(p.options.station.has_value());
    EXPECT_FALSE(p.options.tiles_given);
    EXPECT_NE(p.options.tiles.find("openstreetmap"), std::string::npos);
    EXPECT_EQ(p.options.prediction.sea_level_descent_rate, 5);
    EXPECT_EQ(p.options.prediction.burst_altitude, 30000);
    EXPECT_FALSE(p.options.prediction.ground_altitude.has_value());
}

TEST(map_options, the_prediction_takes_its_assumptions)
{
    const parsed p = parse({"--descent-rate", "6.5", "--burst-altitude=25000", "--ground-altitude", "-20"});
    ASSERT_TRUE(p.ok) << p.problem;
    EXPECT_EQ(p.options.prediction.sea_level_descent_rate, 6.5);
    EXPECT_EQ(p.options.prediction.burst_altitude, 25000);
    EXPECT_EQ(p.options.prediction.ground_altitude, -20);
}

TEST(map_options, negative_station_coordinates_work_in_both_spellings)
{
    for (const auto& arguments : std::vector<std::vector<const char*>>{
             {"--station=-23.6,-46.5", "QLT_20261208.txt"},
             {"--station", "-23.6,-46.5", "QLT_20261208.txt"},
             {"QLT_20261208.txt", "--station", "-23.6,-46.5"}}) {
        const parsed p = parse(arguments);
        ASSERT_TRUE(p.ok) << p.problem;
        ASSERT_TRUE(p.options.station.has_value());
        EXPECT_DOUBLE_EQ(p.options.station->latitude, -23.6);
        EXPECT_DOUBLE_EQ(p.options.station->longitude, -46.5);
        EXPECT_FALSE(p.options.station->altitude_given);
        EXPECT_EQ(p.options.log_path, "QLT_20261208.txt");
    }
    const parsed with_height = parse({"--station", "-23.6,-46.5,-12.5"});
    ASSERT_TRUE(with_height.ok) << with_height.problem;
    EXPECT_TRUE(with_height.options.station->altitude_given);
    EXPECT_DOUBLE_EQ(with_height.options.station->altitude, -12.5);
}

TEST(map_options, listen_takes_addresses_and_ports_of_every_form)
{
    struct row {
        const char* text;
        bool ok;
        const char* host;
        int port;
    };
    const row rows[] = {
        {"127.0.0.1:8080", true, "127.0.0.1", 8080},
        {"0.0.0.0:80", true, "0.0.0.0", 80},
        {"[::1]:9000", true, "::1", 9000},
        {"localhost:0", true, "localhost", 0},
        {"127.0.0.1:65535", true, "127.0.0.1", 65535},
        {"127.0.0.1:65536", false, "", 0},
        {"127.0.0.1", false, "", 0},
        {":8080", false, "", 0},
        {"::1:8080", false, "", 0},
        {"127.0.0.1:80x", false, "", 0},
        {"127.0.0.1:-1", false, "", 0},
        {"[]:80", false, "", 0},
    };
    for (const row& r : rows) {
        std::string host;
        std::uint16_t port = 1;
        EXPECT_EQ(parse_listen_address(r.text, host, port), r.ok) << r.text;
        if (r.ok) {
            EXPECT_EQ(host, r.host) << r.text;
            EXPECT_EQ(port, r.port) << r.text;
        }
    }
    EXPECT_TRUE(parse({"--listen", "0.0.0.0:8081"}).ok);
    EXPECT_FALSE(parse({"--listen", "nonsense"}).ok);
}

TEST(map_options, bad_values_are_refused_with_a_reason)
{
    struct row {
        std::vector<const char*> arguments;
        const char* says;
    };
    const std::vector<row> rows = {
        {{"--station", "91,0"}, "latitude"},
        {{"--station", "0,181"}, "longitude"},
        {{"--station", "1"}, "LAT,LON"},
        {{"--station", "1,2,3,4"}, "LAT,LON"},
        {{"--station", "a,b"}, "LAT,LON"},
        {{"--station", "1,2,inf"}, "LAT,LON"},
        {{"--station", "nan,2"}, "LAT,LON"},
        {{"--tiles", "http://tiles.example/{z}/{x}.png"}, "{y}"},
        {{"--allow-host", "laptop.local:8080"}, "without a port"},
        {{"--allow-host", "evil/\"x"}, "--allow-host"},
        {{"--bogus"}, "--bogus"},
        {{"--descent-rate", "0.5"}, "--descent-rate"},
        {{"--descent-rate", "fast"}, "--descent-rate"},
        {{"--burst-altitude", "60000"}, "--burst-altitude"},
        {{"--ground-altitude", "-501"}, "--ground-altitude"},
        {{"a", "b"}, "b"},
        {{""}, "empty"},
    };
    for (const row& r : rows) {
        const parsed p = parse(r.arguments);
        EXPECT_FALSE(p.ok) << r.arguments.front();
        EXPECT_NE(p.problem.find(r.says), std::string::npos) << p.problem;
    }
}

TEST(map_options, help_and_version_stop_before_any_check)
{
    const parsed help = parse({"--help", "--station", "999,999"});
    ASSERT_TRUE(help.ok) << help.problem;
    EXPECT_TRUE(help.options.help);
    EXPECT_TRUE(parse({"--version"}).options.version);
    const std::string usage = map_usage();
    for (const char* option : {"--listen", "--allow-host", "--tiles", "--station", "--descent-rate", "--burst-altitude",
                               "--ground-altitude", "--help", "--version"})
        EXPECT_NE(usage.find(option), std::string::npos) << option;
}

TEST(map_options, tiles_take_a_template)
{
    const parsed p = parse({"--tiles", "http://127.0.0.1:9/{z}/{x}/{y}.png"});
    ASSERT_TRUE(p.ok) << p.problem;
    EXPECT_TRUE(p.options.tiles_given);
    EXPECT_EQ(p.options.tiles, "http://127.0.0.1:9/{z}/{x}/{y}.png");
}

TEST(map_options, allowed_hosts_repeat_and_never_take_the_log)
{
    const parsed p = parse({"--allow-host", "Chase-Laptop.local", "--allow-host=192.168.1.5", "/logs"});
    ASSERT_TRUE(p.ok) << p.problem;
    EXPECT_EQ(p.options.allowed_hosts, (std::vector<std::string>{"chase-laptop.local", "192.168.1.5"}));
    EXPECT_EQ(p.options.log_path, "/logs");
}
