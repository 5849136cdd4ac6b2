// The receiver's spine: process set-up, start-up, the receive loop and the
// shutdown. Every step is an operation of a subsystem; this file holds only
// their order, the error tests and the ESC rule.
#include <csignal>
#include <cstdint>
#include <exception>

#include <unistd.h>

#include "console/console.h"
#include "console/device.h"
#include "console/screen_layout.h"
#include "console/terminal_restore.h"
#include "core/arithmetic.h"
#include "core/frame.h"
#include "core/zarim.h"
#include "format/frame_digits.h"
#include "format/mask.h"
#include "format/masks.h"
#include "format/number_text.h"
#include "logfile/log_file.h"
#include "net/channel_table.h"
#include "net/udp_endpoint.h"

namespace {

constexpr std::uint16_t udp_port = 3000;
constexpr std::uint32_t receive_timeout_ms = 60000;
constexpr int escape_key = 27;
// The port could not be opened; 255 stays the run-time support's own.
constexpr int port_failure_status = 1;
// Lines that were shown but could not be logged by the end of the run.
constexpr int unwritten_log_status = 3;

// First octet first in memory, so the least significant byte of the value.
void dotted_bytes(ipv4_address address, std::uint8_t (&bytes)[4])
{
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<std::uint8_t>((address >> (8 * i)) & 0xFFu);
}

// A failure of the run-time support itself, such as memory it cannot have
// for a text (an exception nothing catches): end at once, terminal
// restored. Where the receiver can go on without the memory, the operation
// reports error 7 instead.
[[noreturn]] void end_with_internal_failure()
{
    restore_terminal();
    _exit(255);
}

// Termination by signal is only let in while the loop waits for a datagram,
// so a frame that has been shown is always logged before the process can go.
// Blocked from set-up on; the wait itself unblocks them, atomically, through
// the mask this gives.
sigset_t block_termination()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    // Cannot fail with these arguments; should it, nothing was blocked and
    // the wait keeps the mask as it is.
    sigset_t waiting;
    if (sigprocmask(SIG_BLOCK, &set, &waiting) != 0 && sigprocmask(SIG_SETMASK, nullptr, &waiting) != 0) {
        sigemptyset(&waiting);
    }
    sigdelset(&waiting, SIGTERM);
    sigdelset(&waiting, SIGHUP);
    return waiting;
}

void ignore_interrupt_keys()
{
    // Ctrl+C and Ctrl+\ must never end the receiver; only ESC does.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGINT, &ignore, nullptr);
    sigaction(SIGQUIT, &ignore, nullptr);
    sigaction(SIGPIPE, &ignore, nullptr);
}

bool continue_console_flush(void* console)
{
    return continue_flush(*static_cast<console_device*>(console));
}

bool read_console_keys(void* console)
{
    return read_key_bytes(*static_cast<console_device*>(console));
}

// Where a frame's texts are made, kept from one frame to the next so that a
// valid frame needs no memory of its own. The digits serve both the table
// row and the log line.
struct frame_work {
    byte_string frame_bytes;
    frame_digits digits;
    mask_state table_row;
};

void handle_frame(console_device& console, const bit_mask_table& masks, byte_view frame_text,
                  receiver_state& state, channel_number log_channel, fixed_screen& fixed,
                  log_backlog& backlog, frame_work& work, error_number& error)
{
    show_reception(console, frame_text);
    frame_text_to_bytes(frame_text, work.frame_bytes);
    byte_view frame_data;
    if (!verify_frame(masks, work.frame_bytes, state, frame_data)) {
        show_crc_error(console, state.crc_error_count);
        return;
    }
    show_crc_ok(console);
    const decoded_frame frame = decode_frame(frame_data, state);
    make_frame_digits(frame, work.digits);
    const byte_view table_row = format_table_row(frame, work.digits, work.table_row);
    show_table_row(console, table_row, frame.time_gap, frame.battery_voltage);
    append_log_line(log_channel, fixed.log_file_name, frame, work.digits, backlog, error);
    // Only a change of whether lines wait is shown.
    if (backlog.lines.empty() == fixed.log_waiting) {
        show_log_waiting(console, fixed, !backlog.lines.empty());
    }
    update_previous(frame, state);
}

}  // namespace

int main()
{
    // Process set-up.
    std::set_terminate(end_with_internal_failure);
    console_device console;
    open_console(console);
    ignore_interrupt_keys();
    const sigset_t waiting_mask = block_termination();
    install_terminal_restore_handlers(console);
    reset_channel_table();
    set_colours(console, ordinary_colour, background_colour);
    set_arithmetic_mode();

    // Start-up.
    bit_mask_table masks{};
    fill_bit_mask_table(masks);
    const byte_string log_file_name = make_log_file_name();
    show_start_message(console);
    const ipv4_address host_address = lookup_host_address("", 1);
    const channel_number endpoint = next_free_channel();
    error_number error = error::none;
    int open_failure = 0;
    open_udp_endpoint(endpoint, udp_port, receive_timeout_ms, error, &open_failure);
    if (error != error::none) {
        sound_beep(console);
        close_console(console);
        show_port_failure(udp_port, open_failure);
        return port_failure_status;
    }
    std::uint8_t address_bytes[4];
    dotted_bytes(host_address, address_bytes);
    show_listen_address(console, address_bytes);
    const channel_number log_channel = next_free_channel();
    fixed_screen fixed{log_file_name};
    draw_fixed_screen(console, fixed);

    // The receive loop.
    receiver_state state;
    log_backlog backlog;
    frame_work work;
    for (;;) {
        error = error::none;
        flush_console(console);
        // A terminal grown back after it was too small gets the fixed
        // screen again; the flush may have been the first to see the size.
        if (console.resized) {
            mend_fixed_screen(console, fixed);
            flush_console(console);
        }
        // A terminal that could not take the whole flush gets the rest while
        // the loop waits, not only at the next datagram; keys are read as
        // they are typed, so that each is told apart by when it came.
        terminal_in_wait terminal{unflushed_output_fd(console), continue_console_flush,
                                  keyboard_fd(console), read_console_keys, &console};
        const received_datagram datagram = receive_datagram(endpoint, error, &waiting_mask, &terminal);
        if (error == error::none) {
            handle_frame(console, masks, datagram.payload, state, log_channel, fixed, backlog, work,
                         error);
        }
        if (first_char_code(read_key(console)) == escape_key) break;
    }

    // Shutdown.
    close_channel(endpoint, error);
    flush_log_backlog(log_channel, log_file_name, backlog, error);
    close_console(console);
    if (!backlog.lines.empty() || backlog.dropped != 0) {
        show_unwritten_lines(log_file_name, backlog.lines, backlog.dropped);
        return unwritten_log_status;
    }
    return 0;
}
