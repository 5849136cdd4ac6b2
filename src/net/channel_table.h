// The program-wide table of open channels: the UDP endpoint for the whole
// run, and the log file while a line is being appended.
#pragma once

#include <cstdint>
#include <memory>

#include "core/types.h"
#include "net/wait_set.h"

using channel_number = std::int16_t;

enum class channel_kind { disk_file, udp_endpoint };

inline constexpr std::size_t receive_buffer_size = 65536;

struct channel_record {
    channel_number number = 0;
    channel_kind kind = channel_kind::disk_file;
    int handle = -1;   // file descriptor of the file or socket
    byte_string name;  // file name, or the host name for an endpoint
    // UDP endpoint only.
    std::uint16_t port = 0;
    std::uint32_t timeout_ms = 0;
    std::unique_ptr<char[]> receive_buffer;
    std::unique_ptr<wait_set> wait;
};

// The open channel with that number, or nullptr.
channel_record* find_channel(channel_number number);

// Enters a record (its number must not be open) and gives where it now
// lies. Null when memory for it cannot be had, or when the number is open
// after all.
channel_record* insert_channel(channel_record&& record);

// Takes the record out of the table and returns it (empty when not open).
std::unique_ptr<channel_record> remove_channel(channel_number number);

// Hands a removed record back once its handle is done with. The table keeps
// one, storage of its name included, for the next record entered: the log
// channel is opened and closed once a frame. An empty one is ignored.
void recycle_channel_record(std::unique_ptr<channel_record> record);

// Rising numbers from 1, wrapping after 32767, skipping open ones. When all
// 32767 are open it gives no_free_channel, which every open refuses.
inline constexpr channel_number no_free_channel = -1;
channel_number next_free_channel();

// Closes any handle still held, empties the table and resets the hand-out
// counter to 0 (process start).
void reset_channel_table();
