// From the log to the broker's window and back to a late map, without a
// broker: which lines go out, in what order, numbered how; how far the
// acknowledgements count; and what a catch-up answer holds.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "catchup_server.h"
#include "log_follower.h"
#include "publish_ledger.h"
#include "share/share_process.h"
#include "share_source.h"
#include "support/mqtt_broker.h"

namespace {

// "NAME:NUMBER:COUNTER" for each line, NAME the log's file name.
std::vector<std::string> shown(const std::vector<outgoing_line>& lines)
{
    std::vector<std::string> texts;
    for (const outgoing_line& line : lines) {
        const std::string& path = line.log->path;
        const std::string counter = line.text.substr(1, line.text.find(' ', 1) - 1);
        texts.push_back(path.substr(path.rfind('/') + 1, 12) + ":" + std::to_string(line.number) + ":" + counter);
    }
    return texts;
}

std::vector<std::string> read_all(share_source& source)
{
    std::vector<outgoing_line> lines;
    while (source.read(lines)) {
    }
    return shown(lines);
}

using resume_points = std::vector<std::pair<std::shared_ptr<const shared_log>, std::uint64_t>>;

std::shared_ptr<const shared_log> log_of(const std::string& path, int first_counter = 1)
{
    return std::make_shared<const shared_log>(shared_log{path, log_date_of(path), log_head(log_line(first_counter))});
}

class Pipeline : public testing::Test {
protected:
    void SetUp() override
    {
        directory = scratch_directory("share-pipeline");
        day1 = directory + "/QLT_20261207.txt";
        day2 = directory + "/QLT_20261208.txt";
    }

    std::string directory;
    std::string day1;
    std::string day2;
};

}  // namespace

TEST_F(Pipeline, lines_are_numbered_from_the_logs_start_and_resume_after_the_acknowledged)
{
    append_lines(day2, 1, 5);
    {
        log_follower follower(directory);
        std::string problem;
        ASSERT_TRUE(follower.start(problem)) << problem;
        share_source source(follower, {});
        EXPECT_EQ(read_all(source), (std::vector<std::string>{"QLT_20261208:1:1", "QLT_20261208:2:2", "QLT_20261208:3:3",
                                                               "QLT_20261208:4:4", "QLT_20261208:5:5"}));
    }
    struct row {
        std::shared_ptr<const shared_log> log;
        std::uint64_t acked;
        std::vector<std::string> expected;
    };
    const std::vector<row> rows = {
        {log_of(day2), 3, {"QLT_20261208:4:4", "QLT_20261208:5:5"}},
        {log_of(day2), 5, {}},
        // Another log under the same name (its first line differs): all of it.
        {log_of(day2, 9), 3, {"QLT_20261208:1:1", "QLT_20261208:2:2", "QLT_20261208:3:3", "QLT_20261208:4:4",
                              "QLT_20261208:5:5"}},
    };
    for (const row& r : rows) {
        log_follower follower(directory);
        std::string problem;
        ASSERT_TRUE(follower.start(problem)) << problem;
        share_source source(follower, resume_points{{r.log, r.acked}});
        EXPECT_EQ(read_all(source), r.expected) << r.acked;
    }
}

TEST_F(Pipeline, the_rest_of_a_log_left_behind_goes_out_before_the_next_logs_lines)
{
    append_lines(day1, 1, 3);
    log_follower follower(directory);
    std::string problem;
    ASSERT_TRUE(follower.start(problem)) << problem;
    share_source source(follower, {});
    EXPECT_EQ(read_all(source), (std::vector<std::string>{"QLT_20261207:1:1", "QLT_20261207:2:2", "QLT_20261207:3:3"}));
    // Lines the follower never read before the next day's log took over.
    append_lines(day1, 4, 2);
    append_lines(day2, 6, 2);
    EXPECT_EQ(read_all(source), (std::vector<std::string>{"QLT_20261207:4:4", "QLT_20261207:5:5", "QLT_20261208:1:6",
                                                           "QLT_20261208:2:7"}));
}

TEST_F(Pipeline, after_a_restart_across_midnight_the_old_logs_rest_comes_first)
{
    append_lines(day1, 1, 5);
    append_lines(day2, 6, 2);
    log_follower follower(directory);
    std::string problem;
    ASSERT_TRUE(follower.start(problem)) << problem;
    share_source source(follower, resume_points{{log_of(day1), 3}});
    EXPECT_EQ(read_all(source), (std::vector<std::string>{"QLT_20261207:4:4", "QLT_20261207:5:5", "QLT_20261208:1:6",
                                                           "QLT_20261208:2:7"}));
}

TEST_F(Pipeline, a_log_cut_and_written_anew_is_another_log_from_its_first_line)
{
    append_lines(day2, 1, 3);
    log_follower follower(directory);
    std::string problem;
    ASSERT_TRUE(follower.start(problem)) << problem;
    share_source source(follower, {});
    std::vector<outgoing_line> first;
    while (source.read(first)) {
    }
    ASSERT_EQ(first.size(), 3u);
    ::truncate(day2.c_str(), 0);
    append_lines(day2, 20, 1);
    std::vector<outgoing_line> again;
    while (source.read(again)) {
    }
    EXPECT_EQ(shown(again), std::vector<std::string>{"QLT_20261208:1:20"});
    EXPECT_NE(again[0].log, first[0].log);
}

TEST(publish_ledger, only_an_unbroken_run_of_acknowledgements_counts)
{
    const std::shared_ptr<const shared_log> a = log_of("/l/QLT_20261207.txt");
    const std::shared_ptr<const shared_log> b = log_of("/l/QLT_20261208.txt");
    publish_ledger ledger({{*a, 2}});
    const std::shared_ptr<const shared_log> resumed = ledger.resume_points().front().first;
    ledger.sent({resumed, 3, "a3"}, 10);
    ledger.sent({b, 1, "b1"}, 11);
    ledger.sent({b, 2, "b2"}, 12);
    EXPECT_EQ(ledger.in_flight(), 3u);
    EXPECT_TRUE(ledger.acknowledged(12));
    EXPECT_FALSE(ledger.changed());  // 10 and 11 are still out
    EXPECT_FALSE(ledger.acknowledged(99));  // no line of ours
    EXPECT_TRUE(ledger.acknowledged(10));
    EXPECT_TRUE(ledger.changed());
    share_state state = ledger.snapshot("f", "s");
    ASSERT_EQ(state.logs.size(), 1u);
    EXPECT_EQ(state.logs[0].acked, 3u);

    // The client is replaced: what it held goes to the new one, in order.
    const std::vector<outgoing_line> back = ledger.take_back_in_flight();
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].text, "b1");
    ledger.sent(back[0], 20);
    EXPECT_TRUE(ledger.acknowledged(20));
    state = ledger.snapshot("f", "s");
    ASSERT_EQ(state.logs.size(), 2u);
    EXPECT_EQ(state.logs[1].log.path, b->path);
    EXPECT_EQ(state.logs[1].acked, 1u);
    EXPECT_EQ(ledger.logs()[1].sent, 2u);
}

TEST_F(Pipeline, a_catch_up_answers_every_log_up_to_what_went_out_live)
{
    append_lines(day1, 1, 3);
    append_lines(day2, 4, 5);
    const std::vector<sent_log> logs = {{log_of(day1), 3}, {log_of(day2, 4), 4}};
    const auto answer = [&](catchup_server& server, const catchup_request& request) {
        std::vector<std::string> said;
        EXPECT_TRUE(server.request(request));
        catchup_server::clock::time_point due{};
        const auto now = catchup_server::clock::now();
        while (auto message = server.next(logs, now, due)) {
            said.push_back(message->topic + " " + message->payload.substr(0, message->payload.find(',')));
        }
        EXPECT_FALSE(server.busy());
        return said;
    };
    catchup_server server("f", "s1");
    EXPECT_EQ(answer(server, {"m1", "", "", 1}),
              (std::vector<std::string>{
                  "zarim/f/s1/reply/m1 line s1 20261207 1\n 1 ", "zarim/f/s1/reply/m1 line s1 20261207 2\n 2 ",
                  "zarim/f/s1/reply/m1 line s1 20261207 3\n 3 ", "zarim/f/s1/reply/m1 line s1 20261208 1\n 4 ",
                  "zarim/f/s1/reply/m1 line s1 20261208 2\n 5 ", "zarim/f/s1/reply/m1 line s1 20261208 3\n 6 ",
                  "zarim/f/s1/reply/m1 line s1 20261208 4\n 7 ",
                  "zarim/f/s1/reply/m1 caught-up s1 20261207 3 20261208 4"}));
    EXPECT_EQ(answer(server, {"m2", "s1", "20261208", 3}),
              (std::vector<std::string>{"zarim/f/s1/reply/m2 line s1 20261208 3\n 6 ",
                                        "zarim/f/s1/reply/m2 line s1 20261208 4\n 7 ",
                                        "zarim/f/s1/reply/m2 caught-up s1 20261208 4"}));
    EXPECT_FALSE(server.request({"m3", "s2", "", 1}));  // another station's
    EXPECT_FALSE(server.busy());

    // A log replaced since it was shared has nothing left to answer with.
    ::truncate(day1.c_str(), 0);
    append_lines(day1, 50, 2);
    EXPECT_EQ(answer(server, {"m4", "s1", "20261207", 1}),
              std::vector<std::string>{"zarim/f/s1/reply/m4 caught-up s1"});
}

TEST_F(Pipeline, catch_up_answers_keep_their_pace)
{
    append_lines(day2, 1, 300);
    const std::vector<sent_log> logs = {{log_of(day2), 300}};
    catchup_server server("f", "s1", 100);
    ASSERT_TRUE(server.request({"m1", "", "", 1}));
    const auto start = catchup_server::clock::now();
    catchup_server::clock::time_point due{};
    int sent = 0;
    while (server.next(logs, start, due)) ++sent;
    EXPECT_EQ(sent, 100);  // one burst
    EXPECT_GT(due, start);
    // A second later the pace allows a hundred more.
    sent = 0;
    while (server.next(logs, start + std::chrono::seconds(1), due)) ++sent;
    EXPECT_EQ(sent, 100);
    // A map asking again while its answer waits is answered once.
    EXPECT_TRUE(server.request({"m2", "", "", 1}));
    EXPECT_TRUE(server.request({"m2", "", "", 1}));
    for (std::size_t i = 0; i < catchup_server::max_waiting; ++i) server.request({"x" + std::to_string(i), "", "", 1});
    EXPECT_FALSE(server.request({"late", "", "", 1}));  // the oldest waiting one is dropped
}
