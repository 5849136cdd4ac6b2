// The table keeps a closed channel's record to enter again: nothing of the
// channel it held may show through in the next one.
#include <gtest/gtest.h>

#include "net/channel_table.h"

namespace {

TEST(channel_recycle, a_record_used_again_carries_nothing_of_its_last_channel)
{
    reset_channel_table();
    channel_record first;
    first.number = 2;
    first.kind = channel_kind::udp_endpoint;
    first.handle = 77;
    first.name = "a host name longer than a short string holds";
    first.port = 3000;
    first.timeout_ms = 60000;
    first.receive_buffer.reset(new char[16]);
    ASSERT_TRUE(insert_channel(std::move(first)));
    const channel_record* held = find_channel(2);
    std::unique_ptr<channel_record> removed = remove_channel(2);
    removed->handle = -1;
    recycle_channel_record(std::move(removed));

    channel_record second;
    second.number = 5;
    ASSERT_TRUE(insert_channel(std::move(second)));
    const channel_record* again = find_channel(5);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again, held) << "the kept record is the one entered";
    EXPECT_EQ(again->kind, channel_kind::disk_file);
    EXPECT_EQ(again->handle, -1);
    EXPECT_EQ(again->name, "");
    EXPECT_EQ(again->port, 0);
    EXPECT_EQ(again->timeout_ms, 0U);
    EXPECT_EQ(again->receive_buffer, nullptr);
    EXPECT_EQ(find_channel(2), nullptr);

    // A number already open is refused, and the kept record stays kept.
    std::unique_ptr<channel_record> closed = remove_channel(5);
    recycle_channel_record(std::move(closed));
    channel_record third;
    third.number = 6;
    ASSERT_TRUE(insert_channel(std::move(third)));
    channel_record duplicate;
    duplicate.number = 6;
    EXPECT_FALSE(insert_channel(std::move(duplicate)));
    recycle_channel_record(nullptr);
    reset_channel_table();
}

}  // namespace
