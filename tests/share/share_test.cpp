// zarim-share against a real Mosquitto broker the test starts: every line
// once and in order, through restarts of the program and of the broker,
// and a whole log for a map that asks late; and against a broker that
// speaks only the older protocol.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "share/share_process.h"
#include "support/mqtt_broker.h"

namespace {

using namespace std::chrono_literals;

constexpr auto patience = 30s;

class SharedLog : public testing::Test {
protected:
    void start_broker(broker_setup setup = {})
    {
        broker = std::make_unique<test_broker>(std::move(setup));
        std::string problem;
        ASSERT_TRUE(broker->start(problem)) << problem;
    }

    void SetUp() override
    {
        logs = scratch_directory("share-logs");
        state_home = scratch_directory("share-state");
        log = logs + "/QLT_20261208.txt";
    }

    void TearDown() override
    {
        if (share.pid > 0) stop_share(share, SIGKILL);
    }

    // A map's view: a session the broker keeps, so that nothing is missed
    // while the broker restarts.
    void watch(const std::string& id = "watcher")
    {
        watcher = std::make_unique<test_client>(client_setup{id, "", "", ""});
        std::string problem;
        ASSERT_TRUE(watcher->connect(broker->port(), {lines_filter("f1"), stations_filter("f1")}, problem))
            << problem;
    }

    std::vector<std::string> arguments() const
    {
        return {"--broker", broker->url(), "--flight", "f1", "--station-name", "alpha", logs};
    }

    // Waits until lines 1 to `count` have all arrived, some maybe twice.
    // Each look reads only what is new: the client's thread waits for it.
    bool lines_received(std::size_t count)
    {
        std::set<std::uint64_t> seen;
        std::size_t looked = 0;
        return watcher->wait_for([&](const std::vector<received_message>& all) {
            const std::vector<received_message> fresh(all.begin() + static_cast<std::ptrdiff_t>(looked), all.end());
            looked = all.size();
            for (const std::uint64_t n : numbers_of(lines_in(fresh, "f1"))) seen.insert(n);
            return seen.size() >= count;
        }, patience);
    }

    std::vector<std::uint64_t> numbers() const { return numbers_of(lines_in(watcher->messages(), "f1")); }

    std::string logs;
    std::string state_home;
    std::string log;
    std::unique_ptr<test_broker> broker;
    std::unique_ptr<test_client> watcher;
    share_process share;
};

}  // namespace

TEST_F(SharedLog, every_line_once_in_order_and_a_restart_resumes_where_the_broker_stands)
{
    start_broker();
    watch();
    append_lines(log, 1, 20);
    std::vector<std::string> with_station = arguments();
    with_station.insert(with_station.begin(), "--station=-23.5,-46.6,760");
    start_share(share, with_station, state_home);
    ASSERT_TRUE(lines_received(20)) << share_output(share);
    EXPECT_EQ(numbers(), one_to(20)) << sequence_report(numbers());
    const std::vector<shared_line> lines = lines_in(watcher->messages(), "f1");
    EXPECT_EQ(lines[6].text, log_line(7));
    EXPECT_EQ(lines[6].date, "20261208");
    EXPECT_EQ(lines[6].station, "alpha");
    const std::vector<received_message> all = watcher->messages();
    const bool station_shown = std::any_of(all.begin(), all.end(), [](const received_message& m) {
        return m.topic == "zarim/f1/alpha/station" && m.payload == "station alpha -23.5 -46.6 760";
    });
    EXPECT_TRUE(station_shown);

    EXPECT_EQ(stop_share(share, SIGTERM), 0);
    append_lines(log, 21, 10);
    start_share(share, arguments(), state_home);
    ASSERT_TRUE(lines_received(30)) << share_output(share);
    std::this_thread::sleep_for(300ms);  // room for a repeat to show
    EXPECT_EQ(numbers(), one_to(30)) << sequence_report(numbers());
    EXPECT_EQ(stop_share(share, SIGTERM), 0);
}

TEST_F(SharedLog, killed_mid_stream_it_loses_nothing_and_repeats_only_the_unacknowledged)
{
    start_broker();
    watch();
    append_lines(log, 1, 20);
    start_share(share, arguments(), state_home);
    ASSERT_TRUE(lines_received(20)) << share_output(share);
    append_lines(log, 21, 3000);
    ASSERT_TRUE(lines_received(100));
    stop_share(share, SIGKILL);
    std::this_thread::sleep_for(500ms);  // what the broker had reaches the watcher
    const std::size_t before = numbers().size();
    start_share(share, arguments(), state_home);
    ASSERT_TRUE(lines_received(3020)) << share_output(share) << sequence_report(numbers()) << " before " << before;

    // The first run's lines in order; then the second run's, from no later
    // than where the first stopped, in order to the end.
    const std::vector<std::uint64_t> got = numbers();
    EXPECT_EQ(first_arrivals(got), one_to(3020)) << sequence_report(got);
    EXPECT_EQ(std::vector<std::uint64_t>(got.begin(), got.begin() + static_cast<std::ptrdiff_t>(before)),
              one_to(before));
    if (got.size() > before) {
        std::vector<std::uint64_t> expected;
        for (std::uint64_t n = got[before]; n <= 3020; ++n) expected.push_back(n);
        EXPECT_EQ(std::vector<std::uint64_t>(got.begin() + static_cast<std::ptrdiff_t>(before), got.end()), expected);
    }
}

TEST_F(SharedLog, the_backlog_of_a_broker_outage_arrives_in_order)
{
    broker_setup setup;
    setup.persistence = true;
    start_broker(setup);
    watch("watcher-outage");
    broker->stop();
    // Started while the broker is down: it keeps trying.
    append_lines(log, 1, 50);
    start_share(share, arguments(), state_home);
    std::this_thread::sleep_for(1500ms);
    std::string problem;
    ASSERT_TRUE(broker->start(problem)) << problem;
    ASSERT_TRUE(lines_received(50)) << share_output(share);

    broker->stop();
    append_lines(log, 51, 500);
    std::this_thread::sleep_for(1s);
    ASSERT_TRUE(broker->start(problem)) << problem;
    ASSERT_TRUE(lines_received(550)) << share_output(share);
    // What was in flight when the connection went may come twice (at
    // least once is what QoS 1 promises); a subscriber counts it once.
    const std::vector<std::uint64_t> got = numbers();
    EXPECT_EQ(first_arrivals(got), one_to(550)) << sequence_report(got);
    EXPECT_LE(got.size(), 550u + 2 * 200) << sequence_report(got);
    EXPECT_NE(share_output(share).find("lost the connection to the broker"), std::string::npos) << share_output(share);
    EXPECT_EQ(stop_share(share, SIGTERM), 0);
}

TEST_F(SharedLog, a_map_that_asks_gets_the_whole_log_and_a_kept_request_is_not_answered)
{
    start_broker();
    watch();
    test_client map(client_setup{});
    std::string problem;
    ASSERT_TRUE(map.connect(broker->port(), {replies_filter("f1", "map1"), replies_filter("f1", "stale")}, problem))
        << problem;
    // A request kept by the broker would be answered by every station at
    // every reconnection: it is ignored.
    ASSERT_TRUE(map.publish(catchup_topic("f1"), catchup_payload({"stale", "", "", 1}), true));
    append_lines(log, 1, 120);
    start_share(share, arguments(), state_home);
    ASSERT_TRUE(lines_received(120)) << share_output(share);

    ASSERT_TRUE(map.publish(catchup_topic("f1"), catchup_payload({"map1", "", "", 1})));
    ASSERT_TRUE(map.wait_for([](const std::vector<received_message>& all) {
        return !all.empty() && all.back().payload.starts_with("caught-up");
    }, patience)) << share_output(share);
    const std::vector<received_message> answer = map.messages();
    EXPECT_EQ(numbers_of(lines_in(answer, "f1")), one_to(120));
    for (const received_message& m : answer) EXPECT_EQ(m.topic, "zarim/f1/alpha/reply/map1");
    EXPECT_EQ(answer.back().payload, "caught-up alpha 20261208 120");
    map.publish(catchup_topic("f1"), "", true);  // the kept request goes
}

TEST(share_program, a_broker_that_speaks_only_mqtt_3_1_1_is_spoken_to_in_it)
{
    // Just enough of such a broker to refuse MQTT 5 as one does (a 3.1.1
    // CONNACK, "unacceptable protocol version") and to see what comes next.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    std::vector<int> levels;
    std::thread broker([&] {
        while (levels.size() < 2) {
            pollfd p{listener, POLLIN, 0};
            if (::poll(&p, 1, 20000) <= 0) return;
            const int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            std::string connect;
            char bytes[512];
            while (connect.find("MQTT") == std::string::npos || connect.size() < connect.find("MQTT") + 5) {
                const ssize_t n = ::read(connection, bytes, sizeof bytes);
                if (n <= 0) break;
                connect.append(bytes, static_cast<std::size_t>(n));
            }
            if (connect.find("MQTT") != std::string::npos && connect.size() > connect.find("MQTT") + 4) {
                levels.push_back(connect[connect.find("MQTT") + 4]);
                const char refusal[] = {0x20, 0x02, 0x00, 0x01};
                [[maybe_unused]] const ssize_t sent = ::write(connection, refusal, sizeof refusal);
            }
            ::close(connection);
        }
    });
    const std::string logs = scratch_directory("share-logs");
    const std::string state_home = scratch_directory("share-state");
    share_process share;
    start_share(share, {"--broker", "mqtt://127.0.0.1:" + std::to_string(ntohs(address.sin_port)), "--flight", "f1",
                        "--station-name", "alpha", logs},
                state_home);
    broker.join();
    ::close(listener);
    stop_share(share, SIGTERM);
    EXPECT_EQ(levels, (std::vector<int>{5, 4})) << share_output(share);
    EXPECT_NE(share_output(share).find("the broker speaks MQTT 3.1.1, not 5: connecting with 3.1.1"), std::string::npos)
        << share_output(share);
}
