// Following the log: whole lines only, the right file, and a fresh start
// whenever the file under it is cut or replaced.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "log_follower.h"
#include "map/receiver_log.h"

namespace {

using namespace std::chrono_literals;

std::vector<std::string> split(const std::string& bytes, std::size_t& taken)
{
    std::vector<std::string> lines;
    taken = take_whole_lines(bytes, lines);
    return lines;
}

// Sets a file's modification time, seconds after an arbitrary base.
void set_modified(const std::string& path, int seconds)
{
    const timespec times[2] = {{1796781600 + seconds, 0}, {1796781600 + seconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

class Follower : public testing::Test {
protected:
    void SetUp() override { directory = make_scratch_directory(); }
    std::string in_directory(const std::string& name) const { return directory + "/" + name; }

    std::string directory;
};

}  // namespace

TEST(whole_lines, only_lines_ending_in_a_line_feed_are_taken)
{
    struct row {
        std::string bytes;
        std::vector<std::string> lines;
        std::size_t taken;
    };
    const std::vector<row> rows = {
        {"", {}, 0},
        {" 1 ,12:00:00", {}, 0},                       // still being written
        {" 1 ,12:00:00\r", {}, 0},                     // its CR is there, its LF not yet
        {"a\r\nb\r\n", {"a", "b"}, 6},
        {"a\r\nb\r\n c", {"a", "b"}, 6},               // the tail waits
        {"\r\n\r\n", {"", ""}, 4},
        {"a\nb\r\n", {"a", "b"}, 5},                   // LF alone ends a line too
        {"a\rb\r\n", {"a\rb"}, 5},                     // a CR inside stays
        {std::string("a\0b\r\n", 5), {std::string("a\0b", 3)}, 5},
    };
    for (const row& r : rows) {
        std::size_t taken = 0;
        EXPECT_EQ(split(r.bytes, taken), r.lines) << r.bytes;
        EXPECT_EQ(taken, r.taken) << r.bytes;
    }
}

TEST(whole_lines, daily_log_names_are_told_from_others)
{
    EXPECT_TRUE(is_daily_log_name("QLT_20261208.txt"));
    for (const char* name : {"QLT_2026128.txt", "QLT_20261208.txt~", "qlt_20261208.txt", "QLT_2026120a.txt",
                             "QLT_20261208.gpx", "QLT_20261208.txt.new", "xQLT_20261208.txt"}) {
        EXPECT_FALSE(is_daily_log_name(name)) << name;
    }
}

TEST_F(Follower, a_named_file_is_waited_for_then_read_line_by_line)
{
    const std::string log = in_directory("QLT_20261208.txt");
    log_follower follower(log);
    std::string problem;
    ASSERT_TRUE(follower.start(problem)) << problem;
    EXPECT_FALSE(follower.searches_directory());

    follow_news news = follower.read_news();
    EXPECT_TRUE(news.lines.empty());

    append_to(log, "one\r\ntw");
    news = follower.read_news();
    EXPECT_EQ(news.path, log);
    EXPECT_EQ(news.lines, std::vector<std::string>{"one"});
    EXPECT_FALSE(news.restarted);

    EXPECT_TRUE(follower.read_news().lines.empty()) << "the tail is not a line yet";
    append_to(log, "o\r\nthree\r\n");
    news = follower.read_news();
    EXPECT_EQ(news.lines, (std::vector<std::string>{"two", "three"}));
    EXPECT_FALSE(news.new_file);
    EXPECT_TRUE(follower.read_news().lines.empty()) << "each line once";
}

TEST_F(Follower, a_file_cut_or_replaced_underneath_is_read_again_from_its_start)
{
    const std::string log = in_directory("QLT_20261208.txt");
    append_to(log, "one\r\ntwo\r\n");
    log_follower follower(log);
    std::string problem;
    ASSERT_TRUE(follower.start(problem)) << problem;
    EXPECT_EQ(follower.read_news().lines.size(), 2U);

    // Cut, then written again: shorter than what was read.
    truncate_file(log);
    append_to(log, "new\r\n");
    follow_news news = follower.read_news();
    EXPECT_TRUE(news.restarted);
    EXPECT_EQ(news.lines, std::vector<std::string>{"new"});

    // Replaced by another file of exactly the same length.
    replace_file(log, "NEW\r\n");
    news = follower.read_news();
    EXPECT_TRUE(news.restarted);
    EXPECT_EQ(news.lines, std::vector<std::string>{"NEW"});

    // Written anew in place, longer than before: only its start tells.
    ::truncate(log.c_str(), 0);
    append_to(log, "other\r\nlines\r\n");
    news = follower.read_news();
    EXPECT_TRUE(news.restarted);
    EXPECT_EQ(news.lines, (std::vector<std::string>{"other", "lines"}));

    // Gone for a while, then back: read from its start.
    ASSERT_EQ(::unlink(log.c_str()), 0);
    EXPECT_TRUE(follower.read_news().lines.empty());
    append_to(log, "back\r\n");
    news = follower.read_news();
    EXPECT_TRUE(news.restarted);
    EXPECT_EQ(news.lines, std::vector<std::string>{"back"});
}

TEST_F(Follower, a_directory_gives_its_latest_date_not_its_newest_written_log)
{
    // An older day's log written last (copied in, say) is not the flight.
    append_to(in_directory("QLT_20261208.txt"), "eighth\r\n");
    append_to(in_directory("QLT_20261209.txt"), "ninth\r\n");
    append_to(in_directory("notes.txt"), "not a log\r\n");
    set_modified(in_directory("QLT_20261208.txt"), 100);
    set_modified(in_directory("QLT_20261209.txt"), 50);
    set_modified(in_directory("notes.txt"), 200);

    log_follower follower(directory);
    std::string problem;
    ASSERT_TRUE(follower.start(problem)) << problem;
    EXPECT_TRUE(follower.searches_directory());
    const follow_news news = follower.read_news();
    EXPECT_EQ(news.path, in_directory("QLT_20261209.txt"));
    EXPECT_TRUE(news.new_file);
    EXPECT_EQ(news.lines, std::vector<std::string>{"ninth"});
}

TEST_F(Follower, a_directory_moves_on_only_to_a_later_day_that_grows)
{
    const std::string first = in_directory("QLT_20261208.txt");
    const std::string second = in_directory("QLT_20261209.txt");
    log_follower follower(directory);
    std::string problem;
    ASSERT_TRUE(follower.start(problem)) << problem;
    EXPECT_TRUE(follower.read_news().path.empty()) << "no log yet";

    append_to(first, "a\r\n");
    follow_news news = follower.read_news();
    EXPECT_EQ(news.path, first);
    EXPECT_EQ(news.lines, std::vector<std::string>{"a"});

    // The receiver started anew after midnight: the next day's file grows.
    append_to(second, "b\r\n");
    news = follower.read_news();
    EXPECT_EQ(news.path, second);
    EXPECT_TRUE(news.new_file);
    EXPECT_EQ(news.lines, std::vector<std::string>{"b"});

    // Neither the first day growing again, nor an old log copied in, nor
    // a later day's file that is only touched takes it away.
    append_to(first, "c\r\n");
    append_to(in_directory("QLT_20250101.txt"), "old\r\nlog\r\n");
    append_to(in_directory("QLT_20261210.txt"), "");
    set_modified(in_directory("QLT_20261210.txt"), 5000);
    for (int i = 0; i < 2; ++i) {
        news = follower.read_news();
        EXPECT_EQ(news.path, second);
        EXPECT_FALSE(news.new_file);
        EXPECT_TRUE(news.lines.empty());
    }
    append_to(second, "d\r\n");
    EXPECT_EQ(follower.read_news().lines, std::vector<std::string>{"d"});
}

// Deleted, made unreadable, or no longer a file: said, with what was read
// kept, and read again from its start once it is back.
TEST_F(Follower, a_log_that_cannot_be_read_is_said_until_it_can)
{
    const std::string log = in_directory("QLT_20261208.txt");
    append_to(log, "one\r\n");
    log_follower follower(directory);
    std::string problem;
    ASSERT_TRUE(follower.start(problem)) << problem;
    EXPECT_EQ(follower.read_news().lines, std::vector<std::string>{"one"});

    ASSERT_EQ(::unlink(log.c_str()), 0);
    follow_news news = follower.read_news();
    EXPECT_TRUE(news.path.empty());
    EXPECT_EQ(news.problem, "QLT_20261208.txt was deleted or moved away");

    ASSERT_EQ(::mkfifo(log.c_str(), 0600), 0);  // must not hang the follower
    news = follower.read_news();
    EXPECT_TRUE(news.path.empty());
    EXPECT_NE(news.problem.find("no longer a regular file"), std::string::npos) << news.problem;
    ASSERT_EQ(::unlink(log.c_str()), 0);

    append_to(log, "two\r\n");
    news = follower.read_news();
    EXPECT_EQ(news.path, log);
    EXPECT_TRUE(news.problem.empty());
    EXPECT_TRUE(news.restarted);
    EXPECT_EQ(news.lines, std::vector<std::string>{"two"});

    if (::geteuid() != 0) {  // permissions do not hold root back
        ASSERT_EQ(::chmod(log.c_str(), 0), 0);
        news = follower.read_news();
        EXPECT_EQ(news.problem, "cannot read QLT_20261208.txt: Permission denied");
        ASSERT_EQ(::chmod(log.c_str(), 0644), 0);
        append_to(log, "three\r\n");
        news = follower.read_news();
        EXPECT_FALSE(news.restarted) << "the same file, read on";
        EXPECT_EQ(news.lines, std::vector<std::string>{"three"});
    }
}

TEST_F(Follower, a_missing_directory_is_refused)
{
    log_follower follower(directory + "/no/such/place/QLT_20261208.txt");
    std::string problem;
    EXPECT_FALSE(follower.start(problem));
    EXPECT_NE(problem.find("no directory"), std::string::npos) << problem;
}

TEST_F(Follower, a_wait_ends_on_a_change_and_on_stop_but_not_for_other_files)
{
    const std::string log = in_directory("QLT_20261208.txt");
    log_follower follower(directory);
    std::string problem;
    ASSERT_TRUE(follower.start(problem)) << problem;
    follower.read_news();

    // Writes to another file do not wake it: the wait runs its full time.
    const auto begun = std::chrono::steady_clock::now();
    std::future<bool> waited = std::async(std::launch::async, [&] { return follower.wait_for_change(600); });
    append_to(in_directory("QLT_20261208.gpx"), "<gpx/>");
    EXPECT_TRUE(waited.get());
    EXPECT_GE(std::chrono::steady_clock::now() - begun, 500ms);

    waited = std::async(std::launch::async, [&] { return follower.wait_for_change(-1); });
    std::this_thread::sleep_for(50ms);
    append_to(log, "line\r\n");
    ASSERT_EQ(waited.wait_for(10s), std::future_status::ready) << "an append wakes the wait";
    EXPECT_TRUE(waited.get());
    EXPECT_EQ(follower.read_news().lines, std::vector<std::string>{"line"});

    waited = std::async(std::launch::async, [&] { return follower.wait_for_change(-1); });
    follower.stop();
    ASSERT_EQ(waited.wait_for(10s), std::future_status::ready);
    EXPECT_FALSE(waited.get());
    EXPECT_FALSE(follower.wait_for_change(-1)) << "and every wait after it";
}

TEST_F(Follower, a_large_log_comes_in_bounded_reads_without_losing_a_line)
{
    const std::string log = in_directory("QLT_20261208.txt");
    std::string bytes;
    const std::string line(71, 'x');
    const std::size_t count = log_follower::read_bound / 73 * 2 + 17;
    for (std::size_t i = 0; i < count; ++i) bytes += line + "\r\n";
    append_to(log, bytes);

    log_follower follower(log);
    std::string problem;
    ASSERT_TRUE(follower.start(problem)) << problem;
    std::size_t lines = 0;
    int reads = 0;
    for (;;) {
        const follow_news news = follower.read_news();
        for (const std::string& l : news.lines) EXPECT_EQ(l, line);
        lines += news.lines.size();
        ++reads;
        if (!news.more) break;
    }
    EXPECT_EQ(lines, count);
    EXPECT_EQ(reads, 3);
}
