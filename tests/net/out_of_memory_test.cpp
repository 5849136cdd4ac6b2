// Where the receiver can go on without memory it asked for (a channel's
// record, its name, a datagram's payload), the operation reports error 7,
// leaves no half-made channel behind, and the next try works. The memory is
// refused by the test's own allocation functions, as a full heap would.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "net/refused_memory.h"
#include "net/udp_endpoint.h"

namespace {

constexpr channel_number endpoint_channel = 1;

int open_descriptor_count()
{
    int count = 0;
    if (DIR* listing = ::opendir("/proc/self/fd")) {
        while (::readdir(listing) != nullptr) {
            ++count;
        }
        ::closedir(listing);
    }
    return count;
}

std::uint16_t free_port()
{
    const int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    socklen_t size = sizeof local;
    const bool bound = ::bind(probe, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
                       ::getsockname(probe, reinterpret_cast<sockaddr*>(&local), &size) == 0;
    ::close(probe);
    return bound ? ntohs(local.sin_port) : 0;
}

bool send_to_port(std::uint16_t port, byte_view payload)
{
    const int sender = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    target.sin_port = htons(port);
    const bool sent = ::sendto(sender, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&target),
                               sizeof target) == static_cast<ssize_t>(payload.size());
    ::close(sender);
    return sent;
}

class out_of_memory : public testing::Test {
protected:
    void SetUp() override { reset_channel_table(); }
    void TearDown() override
    {
        stop_refusing_memory();
        error_number error = 0;
        close_channel(endpoint_channel, error);
        reset_channel_table();
    }
};

}  // namespace

TEST_F(out_of_memory, a_refused_channel_record_is_not_entered)
{
    channel_record record;
    record.number = 3;
    refuse_allocation_after(0);
    const bool entered = insert_channel(std::move(record));
    stop_refusing_memory();
    EXPECT_TRUE(memory_was_refused());
    EXPECT_FALSE(entered);
    EXPECT_EQ(find_channel(3), nullptr);
}

// Each allocation the open makes is refused in turn, until an open needs no
// more than it was given.
TEST_F(out_of_memory, an_open_refused_any_of_its_memory_sets_7_and_leaves_nothing_open)
{
    const int descriptors = open_descriptor_count();
    const std::uint16_t port = free_port();
    ASSERT_NE(port, 0);
    std::size_t refusals = 0;
    for (std::size_t passing = 0; passing < 100; ++passing) {
        error_number error = 0;
        refuse_allocation_after(passing);
        open_udp_endpoint(endpoint_channel, port, 1000, error);
        stop_refusing_memory();
        if (!memory_was_refused()) {
            EXPECT_EQ(error, error::none);
            break;
        }
        ++refusals;
        EXPECT_EQ(error, error::out_of_memory) << "allocation " << passing;
        EXPECT_EQ(find_channel(endpoint_channel), nullptr) << "allocation " << passing;
        EXPECT_EQ(open_descriptor_count(), descriptors) << "allocation " << passing;
    }
    EXPECT_GE(refusals, 2u) << "the receive buffer and the record at least";
    ASSERT_NE(find_channel(endpoint_channel), nullptr);
    ASSERT_TRUE(send_to_port(port, "after the refusals"));
    error_number error = 0;
    EXPECT_EQ(receive_datagram(endpoint_channel, error).payload, "after the refusals");
    EXPECT_EQ(error, error::none);
}

// The payload is a view of the channel's receive buffer, so a datagram,
// however long, needs no memory of its own: with every allocation refused
// it still arrives whole and sets no error.
TEST_F(out_of_memory, a_payload_needs_no_memory_and_arrives_whole_while_memory_is_refused)
{
    const std::uint16_t port = free_port();
    error_number error = 0;
    open_udp_endpoint(endpoint_channel, port, 1000, error);
    ASSERT_EQ(error, error::none);
    const byte_string long_payload(300, 'A');  // beyond any text kept without an allocation
    ASSERT_TRUE(send_to_port(port, long_payload));
    ASSERT_TRUE(send_to_port(port, "01D2040C22387767BCC182883AC2F8021B09F6CD3018"));

    refuse_allocation_after(0);
    const received_datagram first = receive_datagram(endpoint_channel, error);
    const bool first_whole = first.payload == long_payload;  // read before the next receive reuses the buffer
    const bool first_error_none = error == error::none;
    error = 0;
    const received_datagram second = receive_datagram(endpoint_channel, error);
    const bool second_whole = second.payload == "01D2040C22387767BCC182883AC2F8021B09F6CD3018";
    stop_refusing_memory();
    EXPECT_FALSE(memory_was_refused());
    EXPECT_TRUE(first_whole);
    EXPECT_TRUE(first_error_none);
    EXPECT_TRUE(second_whole);
    EXPECT_EQ(error, error::none);
}
