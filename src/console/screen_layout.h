// What the operator sees, and where: the two start-up messages, the fixed
// screen, the status row and the table of valid frames from row 10 down.
#pragma once

#include <cstdint>
#include <deque>

#include "console/console.h"

inline constexpr int status_row = 6;
inline constexpr int first_table_row = 10;
inline constexpr int ordinary_colour = 7;  // light grey
inline constexpr int warning_colour = 12;  // light red
inline constexpr int background_colour = 0;

// Warnings: a time gap of more than 30 s, a battery below 1.6.
inline constexpr std::int32_t time_gap_warning = 30;
inline constexpr float battery_warning = 1.6f;

// The size the layout needs: rows of 79 characters, the table from row 10.
inline constexpr int layout_rows = first_table_row;
inline constexpr int layout_columns = 80;

// What the fixed screen shows beyond its constant texts, kept so that it
// can be drawn again.
struct fixed_screen {
    byte_string log_file_name;
    bool log_waiting = false;  // lines wait to be logged: the name in light red
    bool cut = false;          // a terminal smaller than the layout has cut it
};

void show_start_message(console_device& console);
void show_listen_address(console_device& console, const std::uint8_t (&address_bytes)[4]);
void draw_fixed_screen(console_device& console, fixed_screen& fixed);

// After a change of the terminal's size: once the terminal has room for
// the layout again, rows 1 to 5 and 7 to 9 are drawn anew where a smaller
// size cut them. The cursor and the colours stay as they were.
void mend_fixed_screen(console_device& console, fixed_screen& fixed);

// The log file name on row 4 turns light red while log lines wait to be
// written, and light grey again once they have been.
void show_log_waiting(console_device& console, fixed_screen& fixed, bool waiting);

void show_reception(console_device& console, byte_view frame_text);
void show_crc_ok(console_device& console);
void show_crc_error(console_device& console, std::int32_t crc_error_count);
void show_table_row(console_device& console, byte_view table_row, std::int32_t time_gap,
                    float battery_voltage);

// Why the port could not be opened, from the platform's errno: "Nao foi
// possivel abrir a porta UDP 3000: em uso por outro programa".
byte_string port_failure_text(std::uint16_t port, int platform_error);

// That text as one line on the standard error, once the terminal is restored.
void show_port_failure(std::uint16_t port, int platform_error);

// Lines shown that the log never took, at the end of a run: "Linhas nao
// gravadas em QLT_20261209.txt: 12", then the lines themselves as the log
// would have had them, on the standard error, so that nothing shown is
// lost without a word (`zarim 2>saved.txt` keeps them).
void show_unwritten_lines(const byte_string& log_file_name, const std::deque<byte_string>& lines,
                          std::uint64_t dropped);
