// The state file: what it says, that a damaged one is refused rather than
// misread, that it is replaced whole, and that one program holds it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <string>
#include <vector>

#include "share_state.h"
#include "support/mqtt_broker.h"

namespace {

share_state sample_state()
{
    // A path and a head with every kind of byte the text must carry.
    return {"f1", "car-2",
            {{{"/logs/QLT_20261207.txt", "20261207", " 1 ,23:59:58,-23.5"}, 86400},
             {{"/logs/jo\xe3o %2 dir/\nQLT_20261208.txt", "20261208", std::string("\xff\r\x00,", 4)}, 7},
             {{"/logs/flight.txt", "-", "x"}, 1}}};
}

}  // namespace

TEST(share_state, reads_back_what_it_writes)
{
    const share_state state = sample_state();
    const std::string text = state_text(state);
    EXPECT_TRUE(text.starts_with("zarim-share state 1\nflight f1\nstation car-2\n"
                                 "log 20261207 86400 2031202c32333a35393a35382c2d32332e35 /logs/QLT_20261207.txt\n"))
        << text;
    EXPECT_NE(text.find(" /logs/jo%e3o%20%252%20dir/%0aQLT_20261208.txt\n"), std::string::npos)
        << text;
    share_state read;
    std::string problem;
    ASSERT_TRUE(read_state_text(text, read, problem)) << problem;
    EXPECT_EQ(read, state);
}

TEST(share_state, keeps_only_the_newest_logs)
{
    share_state state{"f", "s", {}};
    for (int i = 0; i < 12; ++i) state.logs.push_back({{"/l/" + std::to_string(i), "-", "h"}, 1});
    share_state read;
    std::string problem;
    ASSERT_TRUE(read_state_text(state_text(state), read, problem)) << problem;
    ASSERT_EQ(read.logs.size(), max_state_logs);
    EXPECT_EQ(read.logs.front().log.path, "/l/4");
    EXPECT_EQ(read.logs.back().log.path, "/l/11");
}

TEST(share_state, a_damaged_text_is_refused)
{
    const std::string good = state_text(sample_state());
    struct row {
        std::string text;
        std::string problem;
    };
    const std::vector<row> rows = {
        {"", "it is cut short"},
        {good.substr(0, good.size() - 1), "its last line is cut short"},
        {"zarim-share state 2\nflight f\nstation s\n", "it is no zarim-share state"},
        {"zarim-share state 1\nstation s\nflight f\n", "line 2 does not read"},
        {"zarim-share state 1\nflight f\nstation s\nlog 20261208 7 6869\n", "line 4 does not read"},
        {"zarim-share state 1\nflight f\nstation s\nlog 2026128 7 6869 /p\n", "line 4 has no log date"},
        {"zarim-share state 1\nflight f\nstation s\nlog 20261208 x 6869 /p\n", "line 4 does not read"},
        {"zarim-share state 1\nflight f\nstation s\nlog 20261208 7 686 /p\n", "line 4 does not read"},
        {"zarim-share state 1\nflight f\nstation s\nlog 20261208 7 6869 /p%2\n", "line 4 does not read"},
        {"zarim-share state 1\nflight f\nstation s\nlog 20261208 7 6869 /p%zz\n", "line 4 does not read"},
        {"zarim-share state 1\nflight f\nstation s\nwhat\n", "line 4 does not read"},
    };
    for (const row& r : rows) {
        share_state read;
        std::string problem;
        EXPECT_FALSE(read_state_text(r.text, read, problem)) << r.text;
        EXPECT_EQ(problem, r.problem) << r.text;
    }
}

TEST(share_state, is_saved_whole_and_loaded_again)
{
    const std::string directory = scratch_directory("share-state");
    const std::string path = directory + "/deeper/still/s.state";
    share_state state;
    std::string problem;
    EXPECT_EQ(load_state(path, state, problem), state_found::missing);

    ASSERT_TRUE(save_state(path, sample_state(), problem)) << problem;
    struct stat status {};
    EXPECT_NE(::stat((path + ".new").c_str(), &status), 0);  // nothing left beside it
    ASSERT_EQ(::stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    EXPECT_EQ(load_state(path, state, problem), state_found::read) << problem;
    EXPECT_EQ(state, sample_state());

    std::ofstream(path, std::ios::trunc) << "garbage\n";
    EXPECT_EQ(load_state(path, state, problem), state_found::unreadable);
    EXPECT_EQ(problem, "it is no zarim-share state");

    ASSERT_EQ(::chmod(directory.c_str(), 0500), 0);
    // Root writes anyway; anyone else is told why not.
    if (::geteuid() != 0) {
        EXPECT_FALSE(save_state(directory + "/other.state", sample_state(), problem));
        EXPECT_EQ(problem, "cannot write " + directory + "/other.state.new: Permission denied");
    }
    ASSERT_EQ(::chmod(directory.c_str(), 0700), 0);
}

TEST(share_state, one_program_at_a_time_shares_with_a_state)
{
    const std::string path = scratch_directory("share-state") + "/s.state";
    std::string problem;
    {
        state_lock first;
        ASSERT_TRUE(first.acquire(path, problem)) << problem;
        state_lock second;
        EXPECT_FALSE(second.acquire(path, problem));
        EXPECT_EQ(problem, "another zarim-share is sharing with the state " + path);
    }
    state_lock again;
    EXPECT_TRUE(again.acquire(path, problem)) << problem;
}
