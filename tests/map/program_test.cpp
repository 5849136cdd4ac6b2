// The program as a user starts it: what it says, and its exit status.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "map/http_client.h"
#include "map/map_process.h"
#include "map/receiver_log.h"

TEST(map_program, help_version_and_bad_command_lines)
{
    const finished_run help = run_map_program({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: zarim-map", 0), 0U) << help.out;
    EXPECT_TRUE(help.err.empty());

    const finished_run version = run_map_program({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("zarim-map ", 0), 0U) << version.out;

    const finished_run bad = run_map_program({"--station", "north"});
    EXPECT_EQ(bad.status, 2);
    EXPECT_TRUE(bad.out.empty());
    EXPECT_NE(bad.err.find("zarim-map: --station"), std::string::npos) << bad.err;
    EXPECT_NE(bad.err.find("--help"), std::string::npos) << bad.err;
}

TEST(map_program, a_port_in_use_is_a_clear_message_and_status_1)
{
    const int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(holder, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(holder, 1), 0);
    socklen_t length = sizeof address;
    ::getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length);
    const std::string listen = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));

    const finished_run busy = run_map_program({"--listen", listen, make_scratch_directory()});
    ::close(holder);
    EXPECT_EQ(busy.status, 1);
    EXPECT_NE(busy.err.find("cannot serve on " + listen), std::string::npos) << busy.err;
    EXPECT_NE(busy.err.find("in use"), std::string::npos) << busy.err;

    // Another zarim-map holds it: the port is not shared between the two.
    map_process first;
    start_map(first, {"--listen", "127.0.0.1:0", make_scratch_directory()});
    const std::string taken = "127.0.0.1:" + std::to_string(first.port);
    const finished_run second = run_map_program({"--listen", taken, make_scratch_directory()});
    EXPECT_EQ(second.status, 1);
    EXPECT_NE(second.err.find("in use"), std::string::npos) << second.err;
    EXPECT_EQ(stop_map(first), 0);
}

TEST(map_program, a_missing_directory_is_status_1)
{
    const finished_run missing = run_map_program({"--listen", "127.0.0.1:0", "/no/such/directory/QLT_20261208.txt"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("/no/such/directory"), std::string::npos) << missing.err;
}

TEST(map_program, says_where_to_look_serves_and_ends_cleanly_on_a_signal)
{
    const std::string directory = make_scratch_directory();
    map_process map;
    start_map(map, {"--listen", "127.0.0.1:0", directory});
    EXPECT_NE(map.said.find("http://127.0.0.1:" + std::to_string(map.port) + "/"), std::string::npos) << map.said;
    simulated_receiver receiver;
    append_to(directory + "/QLT_20261208.txt", receiver.next_line());
    event_stream page;
    ASSERT_EQ(page.open(map.port, "/events?generation=1&from=0"), 200);
    bool framed = false;
    for (const sse_event& e : page.read(10000, 1)) framed = framed || e.event == "frame";
    EXPECT_TRUE(framed);
    EXPECT_EQ(stop_map(map), 0) << "with a page still open";
}

// A folder and a log named in bytes that are not UTF-8: the documents and
// the status carry U+FFFD in their place, and nothing aborts.
TEST(map_program, names_that_are_not_utf8_are_served_as_valid_json)
{
    const std::string directory = make_scratch_directory() + "/jo\xe3o";
    ASSERT_EQ(::mkdir(directory.c_str(), 0700), 0);
    const std::string log = directory + "/QLT_20261208-\xe3.txt";
    simulated_receiver receiver;
    append_to(log, receiver.next_line() + receiver.next_line());
    map_process map;
    start_map(map, {"--listen", "127.0.0.1:0", log});
    nlohmann::json status = nlohmann::json::object();
    for (int tries = 0; tries < 500 && status.value("points", 0) < 2; ++tries) {
        const http_response answer = http_get(map.port, "/status.json");
        ASSERT_EQ(answer.status, 200) << answer.body;
        status = nlohmann::json::parse(answer.body);
        usleep(10000);
    }
    EXPECT_EQ(status.at("following"), directory.substr(0, directory.size() - 4) + "jo\xef\xbf\xbdo/QLT_20261208-\xef\xbf\xbd.txt");
    const http_response track = http_get(map.port, "/track.geojson");
    EXPECT_EQ(track.status, 200);
    EXPECT_EQ(nlohmann::json::parse(track.body).at("zarim").at("latest").at("file"), "QLT_20261208-\xef\xbf\xbd.txt");
    EXPECT_EQ(http_get(map.port, "/track.kml").status, 200);
    EXPECT_EQ(stop_map(map), 0);
}
