#include <gtest/gtest.h>

#include "net/channel_table.h"

namespace {

channel_record record_numbered(channel_number number)
{
    channel_record record;
    record.number = number;
    return record;
}

// Hands out numbers until `last` has been given, checking they rise by one.
void hand_out_up_to(channel_number last)
{
    channel_number previous = next_free_channel();
    while (previous != last) {
        const channel_number next = next_free_channel();
        ASSERT_EQ(next, previous + 1);
        previous = next;
    }
}

}  // namespace

TEST(channel_table, hands_out_rising_numbers_and_wraps_past_open_ones)
{
    reset_channel_table();
    EXPECT_EQ(next_free_channel(), 1);
    ASSERT_TRUE(insert_channel(record_numbered(1)));
    EXPECT_EQ(next_free_channel(), 2);
    // 2 was never opened, yet the next number is 3: numbers are not reused
    // until the counter comes round again.
    EXPECT_EQ(next_free_channel(), 3);

    hand_out_up_to(32767);
    EXPECT_EQ(next_free_channel(), 2) << "1 is open, so the wrap skips it";

    remove_channel(1);
    hand_out_up_to(32767);
    EXPECT_EQ(next_free_channel(), 1);
    reset_channel_table();
}

TEST(channel_table, gives_no_number_once_every_number_is_open)
{
    reset_channel_table();
    for (int number = 1; number <= 32767; ++number) {
        ASSERT_TRUE(insert_channel(record_numbered(static_cast<channel_number>(number))));
    }
    EXPECT_EQ(next_free_channel(), no_free_channel);
    remove_channel(20000);
    EXPECT_EQ(next_free_channel(), 20000);
    reset_channel_table();
}

TEST(channel_table, finds_records_by_number_whatever_the_order_of_entry)
{
    reset_channel_table();
    for (const channel_number number : {5, 0, 3, 32767}) {
        channel_record record = record_numbered(number);
        record.port = static_cast<std::uint16_t>(number + 100);
        ASSERT_TRUE(insert_channel(std::move(record)));
    }
    for (const channel_number number : {0, 3, 5, 32767}) {
        const channel_record* found = find_channel(number);
        ASSERT_NE(found, nullptr) << number;
        EXPECT_EQ(found->port, number + 100);
    }
    EXPECT_EQ(find_channel(4), nullptr);

    const channel_record* before = find_channel(3);
    EXPECT_FALSE(insert_channel(record_numbered(3)));
    EXPECT_EQ(find_channel(3), before);
    EXPECT_EQ(find_channel(3)->port, 103);

    EXPECT_NE(remove_channel(3), nullptr);
    EXPECT_EQ(find_channel(3), nullptr);
    EXPECT_EQ(remove_channel(3), nullptr);
    EXPECT_NE(find_channel(5), nullptr);
    reset_channel_table();
}
