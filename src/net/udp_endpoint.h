// The receiver's only contact with the network: one IPv4 UDP endpoint that
// receives datagrams from anyone, one at a time with a bounded wait.
#pragma once

#include <csignal>
#include <cstdint>

#include "core/types.h"
#include "net/channel_table.h"

// IPv4 address, first octet first in memory; 0 stands for no address.
using ipv4_address = std::uint32_t;

// The address at `position` (from 1) of the host's IPv4 addresses; an empty
// name means this machine. 0 when there is none. Never sets an error.
ipv4_address lookup_host_address(byte_view host_name, std::int32_t position);

// Binds an IPv4 UDP socket to 0.0.0.0:port with SO_BROADCAST set. Where it
// fails, `platform_error`, when given, receives the reason as an errno
// value (ENOMEM for memory the open could not have, 0 for a channel number
// that cannot be used).
void open_udp_endpoint(channel_number channel, std::uint16_t port, std::uint32_t timeout_ms,
                       error_number& error, int* platform_error = nullptr);

// The payload lies in the channel's receive buffer: it stays as received
// until the next receive on the channel, or its close.
struct received_datagram {
    byte_view payload;
    ipv4_address sender_address = 0;
    std::uint16_t sender_port = 0;
};

// Waits once, up to the channel's receive wait, then reads at most one
// datagram. On failure the payload is empty and the error number set. A
// signal does not cut the wait short; a readiness that is gone by the time
// of the read counts as a wait that ran out (24). A `waiting_mask` is the
// signal mask for the wait alone, so that the signals it lets in can only
// arrive while the receiver is idle, without a mask change around each wait.
// With `terminal`, the wait also serves the terminal while it lasts (see
// terminal_in_wait).
received_datagram receive_datagram(channel_number channel, error_number& error,
                                   const sigset_t* waiting_mask = nullptr,
                                   terminal_in_wait* terminal = nullptr);

// The receive wait for a time-out, in microseconds: floor(T/1024) s plus
// (T mod 1024) * 1024 us.
std::uint64_t receive_wait_microseconds(std::uint32_t timeout_ms);

// Closes a channel of either kind; a number that is not open is left alone.
// Only a disk file's failed close sets an error.
void close_channel(channel_number channel, error_number& error);
