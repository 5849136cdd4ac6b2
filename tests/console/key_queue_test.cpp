#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console/key_queue.h"

namespace {

constexpr std::int64_t second_us = 1000000;

std::string scan(unsigned char code)
{
    return std::string{'\0', static_cast<char>(code)};
}

struct arrival {
    std::int64_t at_us;
    std::string bytes;
};

// The keys the queue gives for bytes that came at those times, once
// everything has had the gap to settle.
std::vector<std::string> keys_after(const std::vector<arrival>& arrivals, std::size_t capacity = key_queue_size)
{
    key_queue queue;
    queue.capacity = capacity;
    std::int64_t last = 0;
    for (const arrival& a : arrivals) {
        add_key_bytes(queue, a.bytes, a.at_us);
        last = a.at_us;
    }
    settle_keys(queue, last + key_gap_us);
    std::vector<std::string> keys;
    for (std::string key = take_key(queue); !key.empty(); key = take_key(queue)) {
        keys.push_back(key);
    }
    return keys;
}

TEST(key_queue, bytes_are_one_key_only_when_they_come_together)
{
    struct timing_case {
        const char* name;
        std::vector<arrival> arrivals;
        std::vector<std::string> keys;
    };
    const std::int64_t within_gap = key_gap_us - 1;
    const timing_case cases[] = {
        {"ESC, then q a second later", {{0, "\x1b"}, {second_us, "q"}}, {"\x1b", "q"}},
        {"ESC, then Enter a second later", {{0, "\x1b"}, {second_us, "\r"}}, {"\x1b", "\r"}},
        {"ESC, then Enter just past the gap", {{0, "\x1b"}, {key_gap_us, "\r"}}, {"\x1b", "\r"}},
        {"x, then ESC", {{0, "x"}, {second_us, "\x1b"}}, {"x", "\x1b"}},
        {"Alt+x in one read", {{0, "\x1b" "x"}}, {scan(0x2D)}},
        {"Alt+x split within the gap", {{0, "\x1b"}, {within_gap, "x"}}, {scan(0x2D)}},
        {"an arrow split twice within the gap", {{0, "\x1b"}, {within_gap, "["}, {2 * within_gap, "A"}},
         {scan(0x48)}},
        {"ESC, then an arrow later", {{0, "\x1b"}, {second_us, "\x1b[B"}}, {"\x1b", scan(0x50)}},
        {"ESC ESC in one read", {{0, "\x1b\x1b"}}, {"\x1b", "\x1b"}},
        {"a sequence cut off by a pause", {{0, "\x1b[1;"}, {second_us, "5A"}}, {scan(0), "5", "A"}},
    };
    for (const timing_case& c : cases) {
        EXPECT_EQ(keys_after(c.arrivals), c.keys) << c.name;
    }
}

TEST(key_queue, a_lone_escape_waits_for_the_gap_before_it_is_a_key)
{
    key_queue queue;
    add_key_bytes(queue, "a\x1b", 5 * second_us);
    EXPECT_EQ(take_key(queue), "a");
    settle_keys(queue, 5 * second_us + key_gap_us - 1);
    EXPECT_EQ(take_key(queue), "") << "its sequence may still be on its way";
    settle_keys(queue, 5 * second_us + key_gap_us);
    EXPECT_EQ(take_key(queue), "\x1b");
    EXPECT_EQ(take_key(queue), "");

    add_key_bytes(queue, "\x1b", 7 * second_us);
    settle_keys(queue);  // nothing more can come
    EXPECT_EQ(take_key(queue), "\x1b");
}

TEST(key_queue, a_full_queue_drops_the_newest_keys_but_never_an_escape)
{
    // Oldest first, up to the bound; later keys are lost.
    EXPECT_EQ(keys_after({{0, "abcdef"}}, 3), (std::vector<std::string>{"a", "b", "c"}));
    // An ESC takes the newest key's place when none waits...
    EXPECT_EQ(keys_after({{0, "abcdef"}, {second_us, "\x1b"}, {2 * second_us, "g"}}, 3),
              (std::vector<std::string>{"a", "b", "\x1b"}));
    // ...while one that waits already ends the loop before anything later.
    EXPECT_EQ(keys_after({{0, "a"}, {second_us, "\x1b"}, {2 * second_us, "bcd"}, {3 * second_us, "\x1b"}}, 3),
              (std::vector<std::string>{"a", "\x1b", "b"}));

    // A storm far beyond the bound, then ESC: it is among the keys.
    std::vector<arrival> storm;
    for (int burst = 0; burst < 100; ++burst) {
        storm.push_back({burst * second_us, std::string(50, 'x')});
    }
    storm.push_back({100 * second_us, "\x1b"});
    const std::vector<std::string> keys = keys_after(storm);
    ASSERT_EQ(keys.size(), key_queue_size);
    EXPECT_EQ(keys.back(), "\x1b");

    // Taking keys makes room again.
    key_queue queue;
    queue.capacity = 2;
    add_key_bytes(queue, "ab", 0);
    EXPECT_EQ(take_key(queue), "a");
    add_key_bytes(queue, "c", second_us);
    EXPECT_EQ(take_key(queue), "b");
    EXPECT_EQ(take_key(queue), "c");
}

}  // namespace
