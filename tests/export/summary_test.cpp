// The summary of a flight cut short says where it stands, and gives no
// burst or landing that has not happened.
#include <gtest/gtest.h>

#include "summary.h"
#include "support/real_flight_log.h"

TEST(summary, a_flight_cut_short_says_where_it_stands_and_no_more)
{
    const std::string text = real_flight_log();
    struct cut {
        const char* until;  // the last time of day read
        const char* stage;
        const char* says;  // how the stage line starts
        bool burst;
        bool landing;
    };
    const cut cuts[] = {
        {"13:15:00", "pad", "on the pad, no liftoff yet", false, false},
        {"14:00:00", "ascent", "climbing, highest so far 17622 m at 2022-04-09T14:00:00-06:00", false, false},
        {"14:37:15", "ascent", "climbing, highest so far 28268 m at 2022-04-09T14:37:09-06:00", false, false},
        {"15:00:00", "descent", "falling, 9187 m at 2022-04-09T15:00:00-06:00, not landed yet", true, false},
        {"23:59:59", "landed", "landed", true, true},
    };
    for (const cut& c : cuts) {
        std::size_t end = 0;
        while (end < text.size() && text.compare(text.find(',', end) + 1, 8, c.until) <= 0)
            end = text.find('\n', end) + 1;
        const flight f = build_flight({read_log_text(real_flight_log_name, text.substr(0, end))}, -360);
        const flight_summary s = summarize(f);
        const std::string said = summary_text(f, s, {real_flight_log_name}, {});
        const nlohmann::json json = summary_json(f, s, {real_flight_log_name}, {});
        EXPECT_NE(said.find(std::string("\nStage               ") + c.says + "\n"), std::string::npos) << said;
        EXPECT_EQ(said.find("\nBurst ") != std::string::npos, c.burst) << said;
        EXPECT_EQ(said.find("\nLanding ") != std::string::npos, c.landing) << said;
        EXPECT_EQ(said.find("launch to landing") != std::string::npos, c.landing) << said;
        EXPECT_EQ(json.at("stage"), c.stage);
        EXPECT_EQ(json.at("launch").is_null(), std::string(c.stage) == "pad");
        EXPECT_EQ(json.at("burst").is_null(), !c.burst);
        EXPECT_EQ(json.at("landing").is_null(), !c.landing);
        EXPECT_EQ(json.at("duration").is_null(), std::string(c.stage) == "pad");
    }
}
