// The endpoints, served by the whole service (follower, flight and server)
// in this process: the page and nothing else from disk, documents that are
// complete, and event streams that deliver every line once, in order, to
// every page, within a bound on pages.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>
#include <pugixml.hpp>
#include <thread>

#include "map/http_client.h"
#include "map/receiver_log.h"
#include "map_run.h"

namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;

std::vector<int> counters_of(const std::vector<sse_event>& events)
{
    std::vector<int> counters;
    for (const sse_event& e : events) {
        if (e.event == "frame") counters.push_back(json::parse(e.data)["counter"].get<int>());
    }
    return counters;
}

bool has_event(const std::vector<sse_event>& events, const std::string& name)
{
    for (const sse_event& e : events) {
        if (e.event == name) return true;
    }
    return false;
}

int connect_to_loopback(std::uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = 10s)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(10ms);
    }
    return condition();
}

class Service : public testing::Test {
protected:
    void SetUp() override
    {
        directory = make_scratch_directory();
        log = directory + "/QLT_20261208.txt";
    }

    void start(std::size_t streams = 32, const http_limits& limits = {})
    {
        map_options options;
        options.listen_port = 0;
        options.log_path = directory;
        options.station = station_option{-23.6, -46.5, 700, true};
        options.allowed_hosts = {"chase-laptop.local"};
        server_settings tuning;
        tuning.heartbeat = 200ms;
        tuning.streams = streams;
        tuning.limits = limits;
        service = std::make_unique<map_service>(options, tuning);
        std::string problem;
        ASSERT_TRUE(service->start(problem)) << problem;
        port = service->port();
    }

    // The number of points the map holds, once it has read the log.
    bool map_holds(std::size_t points)
    {
        return eventually([&] { return service->flight().status_json()["points"] == points; });
    }

    std::string directory;
    std::string log;
    std::unique_ptr<map_service> service;
    std::uint16_t port = 0;
    simulated_receiver receiver;
};

}  // namespace

TEST_F(Service, the_page_its_scripts_and_leaflet_are_served_and_no_other_file)
{
    start();
    const http_response page = http_get(port, "/");
    EXPECT_EQ(page.status, 200);
    EXPECT_NE(page.header("Content-Type").find("text/html"), std::string::npos);
    EXPECT_NE(page.header("Content-Security-Policy").find("script-src 'self'"), std::string::npos);
    EXPECT_NE(page.body.find("/map.js"), std::string::npos);
    EXPECT_EQ(http_get(port, "/map.js").status, 200);
    EXPECT_EQ(http_get(port, "/map.css").status, 200);
    if (service->server().missing_files().empty()) {
        const http_response leaflet = http_get(port, "/leaflet/leaflet.js");
        EXPECT_EQ(leaflet.status, 200);
        EXPECT_EQ(leaflet.body, read_file("/usr/share/javascript/leaflet/leaflet.js"));
        EXPECT_EQ(http_get(port, "/leaflet/images/marker-icon.png").header("Content-Type"), "image/png");
    }

    // Whatever the spelling, nothing outside the list comes back: the
    // receiver's own log beside the map included.
    append_to(log, receiver.next_line());
    for (const char* target :
         {"/index.html", "/etc/passwd", "//etc/passwd", "/leaflet/../map.js", "/leaflet/../../../../etc/passwd",
          "/leaflet/%2e%2e/%2e%2e/%2e%2e/etc/passwd", "/leaflet/leaflet.js.map", "/leaflet/leaflet.min.js",
          "/leaflet/images/../../../../../etc/passwd", "/leaflet/leaflet.css%00.png", "/QLT_20261208.txt",
          "/../QLT_20261208.txt", "/events/../QLT_20261208.txt", "/track.geojson/../../etc/passwd", "/map.js/",
          "/MAP.JS", "/.", "/%2F", "/favicon.ico"}) {
        const http_response response = http_get(port, target);
        EXPECT_GE(response.status, 400) << target;
        EXPECT_EQ(response.body.find("root:"), std::string::npos) << target;
        EXPECT_EQ(response.body.find("12:00:00"), std::string::npos) << target;
    }
    EXPECT_EQ(http_get(port, "/nowhere").status, 404);
    EXPECT_EQ(http_get(port, "/" + std::string(20000, 'a')).status / 100, 4);
    EXPECT_GE(http_request(port, "POST", "/", "Content-Length: 0\r\n").status, 400);
    EXPECT_GE(http_request(port, "DELETE", "/track.geojson").status, 400);
}

TEST_F(Service, every_line_reaches_every_open_page_once_and_in_order)
{
    start();
    std::vector<std::unique_ptr<event_stream>> pages;
    for (int i = 0; i < 20; ++i) {
        pages.push_back(std::make_unique<event_stream>());
        ASSERT_EQ(pages.back()->open(port, "/events"), 200) << i;
    }
    ASSERT_TRUE(eventually([&] { return service->flight().streams() == 20; }));

    // One at a time, ten in one write, and one written in two pieces.
    std::vector<std::string> lines;
    for (int i = 0; i < 41; ++i) lines.push_back(receiver.next_line());
    for (int i = 0; i < 20; ++i) append_to(log, lines[static_cast<std::size_t>(i)]);
    std::string ten;
    for (int i = 20; i < 30; ++i) ten += lines[static_cast<std::size_t>(i)];
    append_to(log, ten);
    for (int i = 30; i < 40; ++i) append_to(log, lines[static_cast<std::size_t>(i)]);
    append_to(log, lines[40].substr(0, 20));
    std::this_thread::sleep_for(100ms);
    append_to(log, lines[40].substr(20));

    std::vector<int> expected(41);
    for (int i = 0; i < 41; ++i) expected[static_cast<std::size_t>(i)] = i + 1;
    for (auto& page : pages) {
        EXPECT_EQ(counters_of(page->read(20000, 41)), expected);
        EXPECT_TRUE(counters_of(page->read(50)).empty()) << "and nothing more";
    }
}

TEST_F(Service, a_page_that_loaded_the_track_goes_on_from_where_it_stands)
{
    start();
    for (int i = 0; i < 5; ++i) append_to(log, receiver.next_line());
    ASSERT_TRUE(map_holds(5));
    const json track = json::parse(http_get(port, "/track.geojson").body);
    const std::string from = "/events?generation=" + std::to_string(track["zarim"]["generation"].get<int>()) +
                             "&from=" + std::to_string(track["zarim"]["next_event"].get<int>());
    append_to(log, receiver.next_line());  // between the track and the stream
    ASSERT_TRUE(map_holds(6));
    event_stream page;
    ASSERT_EQ(page.open(port, from), 200);
    append_to(log, receiver.next_line());
    EXPECT_EQ(counters_of(page.read(10000, 2)), (std::vector<int>{6, 7}));

    // A reconnecting page says what it had last.
    event_stream again;
    ASSERT_EQ(again.open(port, "/events", "Last-Event-ID: 1:4\r\n"), 200);
    EXPECT_EQ(counters_of(again.read(10000, 2)), (std::vector<int>{6, 7}));
}

TEST_F(Service, pages_beyond_the_bound_are_refused_while_the_page_still_loads)
{
    start(12);
    std::vector<std::unique_ptr<event_stream>> pages;
    for (int i = 0; i < 12; ++i) {
        pages.push_back(std::make_unique<event_stream>());
        ASSERT_EQ(pages.back()->open(port, "/events"), 200) << i;
    }
    event_stream refused;
    EXPECT_EQ(refused.open(port, "/events"), 503);
    EXPECT_EQ(http_get(port, "/").status, 200) << "the page loads with every stream taken";
    EXPECT_EQ(http_get(port, "/track.geojson").status, 200);

    // Pages that go away give their places back (found at the next event
    // or clock they miss).
    for (int i = 0; i < 10; ++i) pages[static_cast<std::size_t>(i)]->close();
    ASSERT_TRUE(eventually([&] { return service->flight().streams() == 2; }));
    event_stream again;
    EXPECT_EQ(again.open(port, "/events"), 200);
    append_to(log, receiver.next_line());
    EXPECT_EQ(counters_of(again.read(10000, 1)), std::vector<int>{1});
    EXPECT_EQ(counters_of(pages.back()->read(10000, 1)), std::vector<int>{1});
}

TEST_F(Service, many_connections_at_once_are_all_answered)
{
    start();
    append_to(log, receiver.next_line());
    ASSERT_TRUE(map_holds(1));
    std::vector<std::thread> clients;
    std::atomic<int> answered{0};
    for (int i = 0; i < 150; ++i) {
        clients.emplace_back([&] {
            if (http_get(port, "/track.geojson").status == 200) ++answered;
        });
    }
    for (std::thread& t : clients) t.join();
    EXPECT_EQ(answered, 150);
}

TEST_F(Service, a_log_cut_underneath_restarts_the_pages_and_the_track)
{
    start();
    for (int i = 0; i < 5; ++i) append_to(log, receiver.next_line());
    ASSERT_TRUE(map_holds(5));
    event_stream page;
    ASSERT_EQ(page.open(port, "/events"), 200);
    page.read(300);

    truncate_file(log);
    simulated_receiver other(1796790000, 1);
    const std::string first = other.next_line();
    append_to(log, first + other.next_line());
    ASSERT_TRUE(map_holds(2));
    std::vector<sse_event> events;
    for (int i = 0; i < 100 && !has_event(events, "reset"); ++i) {
        const std::vector<sse_event> more = page.read(100);
        events.insert(events.end(), more.begin(), more.end());
    }
    EXPECT_TRUE(has_event(events, "reset"));
    const json track = json::parse(http_get(port, "/track.geojson").body);
    EXPECT_EQ(track["features"][0]["geometry"]["coordinates"].size(), 2U);
    EXPECT_EQ(track["zarim"]["status"]["frames"], 2);
}

TEST_F(Service, unreadable_lines_are_skipped_counted_and_told_to_the_pages)
{
    start();
    event_stream page;
    ASSERT_EQ(page.open(port, "/events"), 200);
    const std::string first = receiver.next_line();
    append_to(log, first + "this is no frame\r\n" + receiver.next_line());
    const std::vector<sse_event> events = page.read(10000, 2);
    EXPECT_EQ(counters_of(events), (std::vector<int>{1, 2}));
    ASSERT_TRUE(eventually([&] { return service->flight().status_json()["unreadable_lines"] == 1; }));
    const json status = json::parse(http_get(port, "/status.json").body);
    EXPECT_EQ(status["last_problem"]["line"], 2);
}

TEST_F(Service, the_documents_are_well_formed_and_hold_every_point)
{
    start();
    simulated_receiver fast(1796781600, 30);
    std::string lines;
    for (int i = 0; i < 300; ++i) lines += fast.next_line();
    append_to(log, lines);
    ASSERT_TRUE(map_holds(300));

    const http_response geojson = http_get(port, "/track.geojson");
    EXPECT_EQ(geojson.header("Content-Type"), "application/geo+json");
    const json track = json::parse(geojson.body);
    EXPECT_EQ(track["features"][0]["geometry"]["coordinates"].size(), 300U);

    const http_response kml = http_get(port, "/track.kml");
    pugi::xml_document document;
    ASSERT_TRUE(document.load_string(kml.body.c_str())) << kml.body.substr(0, 200);
    EXPECT_EQ(document.select_nodes("//gx:Track/gx:coord").size(), 300U);

    // The link leads to the name allowed, or to the address served.
    const std::string served = ":" + std::to_string(port);
    pugi::xml_document link;
    ASSERT_TRUE(link.load_string(http_get(port, "/live.kml", "Host: Chase-Laptop.local" + served + "\r\n").body.c_str()));
    EXPECT_EQ(std::string(link.select_node("//NetworkLink/Link/href").node().child_value()),
              "http://chase-laptop.local" + served + "/track.kml");
    EXPECT_STREQ(link.select_node("//NetworkLink/Link/refreshMode").node().child_value(), "onInterval");
    ASSERT_TRUE(link.load_string(http_get(port, "/live.kml").body.c_str()));
    EXPECT_EQ(std::string(link.select_node("//NetworkLink/Link/href").node().child_value()),
              "http://127.0.0.1" + served + "/track.kml");
}

TEST_F(Service, look_json_points_any_position_at_the_payload_and_refuses_nonsense)
{
    start();
    EXPECT_TRUE(json::parse(http_get(port, "/look.json?latitude=-23.6&longitude=-46.5").body)["azimuth"].is_null());
    for (int i = 0; i < 30; ++i) append_to(log, receiver.next_line());
    ASSERT_TRUE(map_holds(30));
    const json look = json::parse(http_get(port, "/look.json?latitude=-23.6&longitude=-46.7&altitude=700").body);
    EXPECT_GT(look["azimuth"].get<double>(), 0);
    EXPECT_LT(look["azimuth"].get<double>(), 90) << "north-east of the station";
    EXPECT_GT(look["ground_distance"].get<double>(), 5000);
    EXPECT_FALSE(look["station"]["altitude_assumed"].get<bool>());
    for (const char* bad : {"/look.json", "/look.json?latitude=1", "/look.json?latitude=91&longitude=0",
                            "/look.json?latitude=0&longitude=-181", "/look.json?latitude=x&longitude=0",
                            "/look.json?latitude=0&longitude=0&altitude=", "/look.json?latitude=nan&longitude=0"}) {
        EXPECT_EQ(http_get(port, bad).status, 400) << bad;
    }
}

TEST_F(Service, an_address_in_use_is_refused_with_a_reason)
{
    const int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(holder, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(holder, 1), 0);
    socklen_t length = sizeof address;
    ::getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length);

    map_options options;
    options.listen_port = ntohs(address.sin_port);
    options.log_path = directory;
    map_service busy(options);
    std::string problem;
    EXPECT_FALSE(busy.start(problem));
    EXPECT_NE(problem.find("in use"), std::string::npos) << problem;
    ::close(holder);
}

TEST_F(Service, only_our_own_names_are_answered_and_no_answer_may_be_framed)
{
    start();
    const std::string served = ":" + std::to_string(port);
    struct row {
        std::string headers;
        int status;
    };
    const std::vector<row> rows = {
        {"Host: 127.0.0.1" + served + "\r\n", 200},
        {"Host: localhost" + served + "\r\n", 200},
        {"Host: chase-laptop.local" + served + "\r\n", 200},
        {"Host: attacker.example" + served + "\r\n", 421},  // a rebound name
        {"Host: 127.0.0.1:1\r\n", 421},
        {"Host: 127.0.0.1" + served + "\r\nOrigin: http://attacker.example\r\n", 403},
        {"Host: 127.0.0.1" + served + "\r\nOrigin: http://localhost" + served + "\r\n", 200},
    };
    for (const row& r : rows) {
        for (const char* target : {"/config.json", "/status.json"}) {
            const http_response response = http_get(port, target, r.headers);
            EXPECT_EQ(response.status, r.status) << target << " with " << r.headers;
            EXPECT_EQ(response.body.rfind('{', 0) == 0, r.status == 200) << target;
        }
    }
    for (const http_response& response :
         {http_get(port, "/"), http_get(port, "/nowhere"), http_get(port, "/", "Host: attacker.example\r\n"),
          http_request(port, "POST", "/")}) {
        EXPECT_EQ(response.header("X-Frame-Options"), "DENY") << response.status;
        EXPECT_NE(response.header("Content-Security-Policy").find("frame-ancestors 'none'"), std::string::npos)
            << response.status;
    }
}

// What a hostile client sends, and what it gets: no body is read, no head
// beyond its bound, no range but the whole file, and answers in order.
TEST_F(Service, requests_that_would_take_memory_are_refused_before_it_is_taken)
{
    start();
    const std::string host = "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
    std::string many_fields;
    for (int i = 0; i < 3000; ++i) many_fields += "X-" + std::to_string(i) + ": b\r\n";
    struct row {
        std::string request;
        int status;
    };
    const std::vector<row> rows = {
        {"GET / HTTP/1.1\r\n" + host + "Content-Length: 1048576000\r\n\r\n" + std::string(4 << 20, 'x'), 413},
        {"POST / HTTP/1.1\r\n" + host + "Transfer-Encoding: chunked\r\n\r\n" +
             std::string("100000\r\n") + std::string(4 << 20, 'x'), 413},
        {"GET / HTTP/1.1\r\n" + host + many_fields + "\r\n", 431},
        {"GET / HTTP/1.1\r\n" + host + "X: " + std::string(20000, 'a') + "\r\n\r\n", 431},
        {"GET / HTTP/1.1\r\n" + host + host + "\r\n", 400},
        {"GET / HTTP/1.1\r\n\r\n", 421},
        {"NONSENSE\r\n\r\n", 400},
    };
    for (const row& r : rows) {
        const raw_exchange exchange = raw_requests(port, r.request);
        ASSERT_EQ(exchange.responses.size(), 1U) << r.request.substr(0, 60);
        EXPECT_EQ(exchange.responses[0].status, r.status) << r.request.substr(0, 60);
        if (r.status != 421) {
            EXPECT_TRUE(exchange.closed) << r.request.substr(0, 60);
        }
    }

    if (service->server().missing_files().empty()) {
        std::string ranges = "Range: bytes=0-";
        for (int i = 0; i < 1000; ++i) ranges += ",0-";
        const http_response whole = http_get(port, "/leaflet/leaflet.js", ranges + "\r\n");
        EXPECT_EQ(whole.status, 200);
        EXPECT_EQ(whole.body, read_file("/usr/share/javascript/leaflet/leaflet.js"));
    }

    const raw_exchange pipelined = raw_requests(
        port, "GET /map.css HTTP/1.1\r\n" + host + "\r\nGET /config.json HTTP/1.1\r\n" + host +
                  "\r\nGET /nowhere HTTP/1.1\r\n" + host + "Connection: close\r\n\r\n",
        3);
    ASSERT_EQ(pipelined.responses.size(), 3U);
    EXPECT_NE(pipelined.responses[0].header("Content-Type").find("text/css"), std::string::npos);
    EXPECT_NE(pipelined.responses[1].body.find("kml_refresh_seconds"), std::string::npos);
    EXPECT_EQ(pipelined.responses[2].status, 404);
    EXPECT_TRUE(pipelined.closed);
}

// Connections that only wait, or trickle a request in, give way to a new
// page; one that trickles is dropped once its time for a request is up.
TEST_F(Service, slow_and_idle_connections_cannot_keep_a_page_from_loading)
{
    http_limits limits;
    limits.connections = 24;
    limits.connections_per_address = 16;
    limits.request_time = 1500ms;
    start(32, limits);
    std::vector<int> waiting;
    for (int i = 0; i < 40; ++i) {
        const int fd = connect_to_loopback(port);
        ASSERT_GE(fd, 0);
        ::send(fd, "GET / HTTP/1.1\r\nHo", 18, MSG_NOSIGNAL);
        waiting.push_back(fd);
    }
    for (int i = 0; i < 3; ++i) EXPECT_EQ(http_get(port, "/").status, 200);

    // A byte at a time, never finishing: dropped, not waited for.
    const int trickle = connect_to_loopback(port);
    bool dropped = false;
    for (int i = 0; i < 100 && !dropped; ++i) {
        dropped = ::send(trickle, "G", 1, MSG_NOSIGNAL) != 1;
        char byte = 0;
        dropped = dropped || ::recv(trickle, &byte, 1, MSG_DONTWAIT) == 0;
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(dropped);
    ::close(trickle);
    for (const int fd : waiting) ::close(fd);
}

TEST_F(Service, a_log_deleted_underneath_is_said_and_its_track_kept)
{
    start();
    for (int i = 0; i < 3; ++i) append_to(log, receiver.next_line());
    ASSERT_TRUE(map_holds(3));
    ASSERT_EQ(::unlink(log.c_str()), 0);
    ASSERT_TRUE(eventually([&] { return service->flight().status_json()["following"].is_null(); }));
    const json status = json::parse(http_get(port, "/status.json").body);
    EXPECT_EQ(status["waiting"], "QLT_20261208.txt was deleted or moved away");
    EXPECT_EQ(status["points"], 3);
}
