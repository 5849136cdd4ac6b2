#include "net/udp_endpoint.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <new>

#include "net/held_descriptor.h"

namespace {

inline constexpr std::size_t host_name_limit = 256;
inline constexpr int receive_queue_bytes = 1 << 20;

struct wait_time {
    std::uint64_t seconds = 0;
    std::uint64_t microseconds = 0;  // may exceed one second
};

// Whole seconds from the 10-bit shift, the rest from the 10-bit mask scaled by
// 1024: a time-out is read in units of 1024 ms and 1024 us, not 1000.
wait_time receive_wait(std::uint32_t timeout_ms)
{
    return {timeout_ms >> 10, static_cast<std::uint64_t>(timeout_ms & 1023U) << 10};
}

timespec to_timespec(wait_time wait)
{
    std::uint64_t seconds = wait.seconds;
    std::uint64_t nanoseconds = wait.microseconds * 1000;
    if (nanoseconds >= 1000000000) {  // at most 1,047,552 us: one carry at most
        nanoseconds -= 1000000000;
        seconds += 1;
    }
    timespec result{};
    result.tv_sec = static_cast<time_t>(seconds);
    result.tv_nsec = static_cast<long>(nanoseconds);
    return result;
}

// `reason` is taken before the close, which may change errno.
void abandon_open(channel_number channel, error_number code, int reason, error_number& error,
                  int* platform_error)
{
    std::unique_ptr<channel_record> record = remove_channel(channel);
    if (record) {
        close_held(record->handle);  // nothing more to do about an error on a socket abandoned
    }
    error = code;
    if (platform_error != nullptr) *platform_error = reason;
}

void refuse_open(error_number code, int reason, error_number& error, int* platform_error)
{
    error = code;
    if (platform_error != nullptr) *platform_error = reason;
}

}  // namespace

std::uint64_t receive_wait_microseconds(std::uint32_t timeout_ms)
{
    const wait_time wait = receive_wait(timeout_ms);
    return wait.seconds * 1000000 + wait.microseconds;
}

void open_udp_endpoint(channel_number channel, std::uint16_t port, std::uint32_t timeout_ms,
                       error_number& error, int* platform_error)
{
    if (channel < 0) {
        refuse_open(error::channel_not_open, 0, error, platform_error);
        return;
    }
    if (find_channel(channel) != nullptr) {
        refuse_open(error::channel_already_open, 0, error, platform_error);
        return;
    }

    channel_record fresh;
    fresh.number = channel;
    fresh.kind = channel_kind::udp_endpoint;
    fresh.port = port;
    fresh.timeout_ms = timeout_ms;
    fresh.receive_buffer.reset(new (std::nothrow) char[receive_buffer_size]);
    fresh.wait.reset(new (std::nothrow) wait_set);
    if (!fresh.receive_buffer || !fresh.wait || !insert_channel(std::move(fresh))) {
        refuse_open(error::out_of_memory, ENOMEM, error, platform_error);
        return;
    }
    channel_record* record = find_channel(channel);

    record->handle = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (record->handle < 0) {
        abandon_open(channel, error::socket_failure, errno, error, platform_error);
        return;
    }

    // gethostname may fill the buffer without a terminator when it truncates.
    char host_name[host_name_limit + 1] = {};
    if (::gethostname(host_name, host_name_limit) != 0) {
        abandon_open(channel, error::socket_failure, errno, error, platform_error);
        return;
    }

    // No address-reuse option: a port that another socket holds must make the
    // open fail, so that two receivers never split one sender's frames.
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(record->handle, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        abandon_open(channel, error::socket_failure, errno, error, platform_error);
        return;
    }

    try {
        record->name.assign(host_name);
    } catch (const std::bad_alloc&) {
        abandon_open(channel, error::out_of_memory, ENOMEM, error, platform_error);
        return;
    }

    const int enable = 1;
    if (::setsockopt(record->handle, SOL_SOCKET, SO_BROADCAST, &enable, sizeof enable) != 0) {
        abandon_open(channel, error::socket_failure, errno, error, platform_error);
        return;
    }

    // Datagrams that come while the receiver is off the processor wait in
    // the socket's queue, and the usual one holds only some 25 ms of frames
    // at 10,000 a second. The kernel caps the request at its own limit; a
    // refusal leaves the usual queue, with which the endpoint works as well.
    const int queue_bytes = receive_queue_bytes;
    ::setsockopt(record->handle, SOL_SOCKET, SO_RCVBUF, &queue_bytes, sizeof queue_bytes);

    // Kept however it turns out: a set that cannot be had makes every wait
    // a ppoll, which needs nothing of it.
    open_wait_set(*record->wait, record->handle);
}

received_datagram receive_datagram(channel_number channel, error_number& error,
                                   const sigset_t* waiting_mask, terminal_in_wait* terminal)
{
    received_datagram result;
    channel_record* record = find_channel(channel);
    if (record == nullptr) {
        error = error::channel_not_open;
        return result;
    }
    if (record->kind != channel_kind::udp_endpoint) {
        error = error::wrong_channel_kind;
        return result;
    }

    switch (wait_readable(record->wait.get(), record->handle, to_timespec(receive_wait(record->timeout_ms)),
                          waiting_mask, terminal)) {
    case wait_result::ready:
        break;
    case wait_result::timed_out:
        error = error::timed_out;
        return result;
    case wait_result::failed:
        error = error::socket_failure;
        return result;
    }

    // Readiness can be withdrawn before the read (a datagram dropped for a
    // bad checksum, say), so the read never blocks: finding nothing after
    // all is the same as a wait that ran out.
    sockaddr_in sender{};
    socklen_t sender_size = sizeof sender;
    const ssize_t size =
        ::recvfrom(record->handle, record->receive_buffer.get(), receive_buffer_size, MSG_DONTWAIT,
                   reinterpret_cast<sockaddr*>(&sender), &sender_size);
    if (size < 0) {
        error = (errno == EAGAIN || errno == EWOULDBLOCK) ? error::timed_out : error::socket_failure;
        return result;
    }

    result.payload = byte_view(record->receive_buffer.get(), static_cast<std::size_t>(size));
    if (sender_size >= sizeof sender && sender.sin_family == AF_INET) {
        result.sender_address = sender.sin_addr.s_addr;  // already first octet first
        result.sender_port = ntohs(sender.sin_port);
    }
    return result;
}
