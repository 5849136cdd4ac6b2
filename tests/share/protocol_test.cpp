// What stations and maps say through the broker: names that are one topic
// level, payloads that carry any byte, and a reader that takes nothing it
// receives on trust.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "share_protocol.h"

namespace {

share_message read_back(const std::string& topic, const std::string& payload)
{
    share_message message;
    std::string problem;
    EXPECT_TRUE(read_share_message("f-1", topic, payload, message, problem)) << topic << ": " << problem;
    return message;
}

}  // namespace

TEST(share_protocol, names_are_one_safe_topic_level)
{
    for (const char* good : {"a", "chase-car_2.b", "LAUNCH", "0"}) EXPECT_TRUE(is_share_name(good)) << good;
    EXPECT_TRUE(is_share_name(std::string(64, 'x')));
    for (const std::string& bad : std::vector<std::string>{"", "a/b", "a+", "#", "a b", "$SYS", "caf\xc3\xa9", "a\nb",
                                                        std::string(65, 'x')}) {
        EXPECT_FALSE(is_share_name(bad)) << bad;
    }
    EXPECT_EQ(share_name_problem("a/\x1b"), "'a/?' may hold only letters, digits, '-', '_' and '.' (1 to 64 of them)");
}

TEST(share_protocol, topics_and_dates)
{
    EXPECT_EQ(lines_topic("f", "s"), "zarim/f/s/lines");
    EXPECT_EQ(station_topic("f", "s"), "zarim/f/s/station");
    EXPECT_EQ(catchup_topic("f"), "zarim/f/catchup");
    EXPECT_EQ(reply_topic("f", "s", "m"), "zarim/f/s/reply/m");
    EXPECT_EQ(lines_filter("f"), "zarim/f/+/lines");
    EXPECT_EQ(stations_filter("f"), "zarim/f/+/station");
    EXPECT_EQ(replies_filter("f", "m"), "zarim/f/+/reply/m");
    EXPECT_EQ(log_date_of("/logs/QLT_20261208.txt"), "20261208");
    EXPECT_EQ(log_date_of("QLT_20261208.txt"), "20261208");
    for (const char* other : {"/logs/flight.txt", "QLT_2026120x.txt", "QLT_20261208.txt~", "/QLT_20261208.txt/x"}) {
        EXPECT_EQ(log_date_of(other), "-") << other;
    }
}

TEST(share_protocol, every_message_reads_back_as_written)
{
    // The log is 8-bit text: bytes that are not UTF-8, a CR inside, NUL.
    const std::string odd("\xe3\xff\r\x00 7 ,12:00:00", 15);
    const shared_line line{"s1", "20261208", 42, odd, {}};
    EXPECT_EQ(line_payload(line), "line s1 20261208 42\n" + odd);
    EXPECT_EQ(std::get<shared_line>(read_back("zarim/f-1/s1/lines", line_payload(line))), line);

    const shared_line empty{"s1", "-", 1, "", {}};
    EXPECT_EQ(std::get<shared_line>(read_back("zarim/f-1/s1/lines", line_payload(empty))), empty);

    const shared_line answer{"s1", "20261208", 3, "x", "map7"};
    EXPECT_EQ(std::get<shared_line>(read_back("zarim/f-1/s1/reply/map7", line_payload(answer))), answer);

    const station_position here{"s1", -23.5505, -46.6333, 760.5, true};
    EXPECT_EQ(station_payload(here), "station s1 -23.5505 -46.6333 760.5");
    EXPECT_EQ(std::get<station_position>(read_back("zarim/f-1/s1/station", station_payload(here))), here);
    const station_position flat{"s1", 1e-7, 180, 0, false};
    EXPECT_EQ(std::get<station_position>(read_back("zarim/f-1/s1/station", station_payload(flat))), flat);

    const caught_up done{"s1", "map7", {{"20261207", 86400}, {"20261208", 12}}};
    EXPECT_EQ(caught_up_payload(done), "caught-up s1 20261207 86400 20261208 12");
    EXPECT_EQ(std::get<caught_up>(read_back("zarim/f-1/s1/reply/map7", caught_up_payload(done))), done);
    const caught_up nothing{"s1", "map7", {}};
    EXPECT_EQ(std::get<caught_up>(read_back("zarim/f-1/s1/reply/map7", caught_up_payload(nothing))), nothing);

    for (const catchup_request& request : {catchup_request{"map7", "", "", 1}, catchup_request{"map7", "s1", "", 1},
                                           catchup_request{"map7", "s1", "20261208", 99}}) {
        EXPECT_EQ(std::get<catchup_request>(read_back("zarim/f-1/catchup", catchup_payload(request))), request);
    }
    EXPECT_EQ(catchup_payload({"map7", "s1", "20261208", 99}), "catch-up map7 s1 20261208 99");
}

TEST(share_protocol, a_line_too_long_for_any_receiver_goes_out_cut)
{
    const shared_line line{"s1", "20261208", 1, std::string(max_shared_line_bytes + 10, 'a'), {}};
    const shared_line read = std::get<shared_line>(read_back("zarim/f-1/s1/lines", line_payload(line)));
    EXPECT_EQ(read.text, std::string(max_shared_line_bytes, 'a'));
}

TEST(share_protocol, what_is_not_a_message_of_the_flight_is_refused_with_a_reason)
{
    struct row {
        std::string topic;
        std::string payload;
        std::string problem;
    };
    const std::string big(max_share_message_bytes + 1, 'x');
    const std::vector<row> rows = {
        {"zarim/other/s1/lines", "line s1 - 1\nx", "a topic outside the flight's"},
        {"zarim/f-1", "line s1 - 1\nx", "a topic outside the flight's"},
        {"zarim/f-1/s1/lines", "line s1 - 1\n" + big, "a message too large"},
        {"zarim/f-1/s+1/lines", "line s+1 - 1\nx", "a topic of no station"},
        {"zarim/f-1//lines", "line  - 1\nx", "a topic of no station"},
        {"zarim/f-1/s1/other", "line s1 - 1\nx", "a topic of the flight that holds no message of ours"},
        {"zarim/f-1/s1/lines/x", "line s1 - 1\nx", "a topic of the flight that holds no message of ours"},
        {"zarim/f-1/s1/reply/m+", "line s1 - 1\nx", "a topic of the flight that holds no message of ours"},
        {"zarim/f-1/s1/lines", "line s1 - 1", "a line without its header"},
        {"zarim/f-1/s1/lines", "line s2 - 1\nx", "a line of another station than its topic's"},
        {"zarim/f-1/s1/lines", "line s1 - 0\nx", "a line whose header does not read"},
        {"zarim/f-1/s1/lines", "line s1 - 01\nx", "a line whose header does not read"},
        {"zarim/f-1/s1/lines", "line s1 - -1\nx", "a line whose header does not read"},
        {"zarim/f-1/s1/lines", "line s1 - 99999999999999999999\nx", "a line whose header does not read"},
        {"zarim/f-1/s1/lines", "line s1 2026128 1\nx", "a line whose header does not read"},
        {"zarim/f-1/s1/lines", "line s1  - 1\nx", "a line whose header does not read"},
        {"zarim/f-1/s1/lines", "line s1 - 1 extra\nx", "a line whose header does not read"},
        {"zarim/f-1/s1/lines", "LINE s1 - 1\nx", "a line whose header does not read"},
        {"zarim/f-1/s1/station", "station s1 91 0", "a station position off the globe"},
        {"zarim/f-1/s1/station", "station s1 0 nan", "a station position that does not read"},
        {"zarim/f-1/s1/station", "station s1 0 1e999", "a station position that does not read"},
        {"zarim/f-1/s1/station", "station s1 0", "a station position that does not read"},
        {"zarim/f-1/s1/station", "station s2 0 0", "a position of another station than its topic's"},
        {"zarim/f-1/s1/reply/m", "caught-up s1 20261208", "an end of answer that does not read"},
        {"zarim/f-1/s1/reply/m", "caught-up s2", "an end of answer of another station than its topic's"},
        {"zarim/f-1/s1/reply/m", "done s1", "an end of answer that does not read"},
        {"zarim/f-1/catchup", "catch-up", "a catch-up request that does not read"},
        {"zarim/f-1/catchup", "catch-up m/x", "a catch-up request that does not read"},
        {"zarim/f-1/catchup", "catch-up m s1 20261208", "a catch-up request that does not read"},
        {"zarim/f-1/catchup", "catch-up m s1 20261208 0", "a catch-up request that does not read"},
    };
    for (const row& r : rows) {
        share_message message;
        std::string problem;
        EXPECT_FALSE(read_share_message("f-1", r.topic, r.payload, message, problem)) << r.topic << " " << r.payload;
        EXPECT_EQ(problem, r.problem) << r.topic << " " << r.payload.substr(0, 40);
    }
}
