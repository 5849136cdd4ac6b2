// The whole receiver, run as an operator runs it: on a terminal, fed by UDP.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "console/glyphs.h"
#include "e2e/frame_builder.h"
#include "e2e/receiver_log.h"
#include "e2e/receiver_screen.h"
#include "format/masks.h"
#include "net/udp_endpoint.h"
#include "private_mounts.h"

namespace {

constexpr byte_view border =
    "+-------+--------+----------+-----------+-----+-----+-----+------+-----+------+";
constexpr byte_view header =
    "| Frame |  Time  | Latitude | Longitude | Alt | Spd | GPS | Temp | Bat |  Clb |";
constexpr byte_view worked_frame = "01D2040C22387767BCC182883AC2F8021B09F6CD3018";
// The same frame with its CRC spoilt: same length, fails the test.
constexpr byte_view spoilt_frame = "01D2040C22387767BCC182883AC2F8021B09F6CD3019";

class Receiver : public testing::Test {
protected:
    void SetUp() override
    {
        if (!enter_private_network() && port_3000_taken()) {
            GTEST_SKIP() << "UDP port 3000 is held on this machine and no private network can be had";
        }
    }
    void TearDown() override { stop_receiver(receiver.process); }

    void start(int rows, int columns)
    {
        start_watched(receiver, rows, columns);
        ASSERT_TRUE(wait_for_fixed_screen(receiver)) << receiver.process.output;
    }

    // Sends and waits until the status row shows the datagram's verdict.
    void deliver(byte_view payload, byte_view verdict)
    {
        send_datagram(payload);
        ASSERT_TRUE(wait_until(
            receiver, [&] { return status_area().find(verdict) != byte_string::npos; }, 5000))
            << status_area();
    }

    byte_string status_text() const { return row_text(receiver, 6); }

    // Rows 6 and 7 as one text, so a status line that wrapped reads whole.
    byte_string status_area() const
    {
        return vterm_row_text(receiver.screen, 6) + vterm_row_text(receiver.screen, 7);
    }

    std::vector<byte_string> log_lines() const
    {
        const log_contents log = read_log(receiver.process.directory);
        EXPECT_TRUE(log.ends_whole) << "a partial line at the end of the log";
        return log.lines;
    }

    static byte_string log_file_name() { return todays_log_name(); }

    watched_receiver receiver;
};

// "Recebido hh:mm:ss" with any time of day.
bool starts_with_reception(byte_view row)
{
    if (row.size() < 17 || !row.starts_with("Recebido ")) return false;
    const byte_view time = row.substr(9, 8);
    return time[2] == ':' && time[5] == ':';
}

TEST_F(Receiver, ShowsBothStartMessagesThenTheFixedScreen)
{
    start_watched(receiver, 25, 80);
    ASSERT_TRUE(wait_until(
        receiver, [&] { return row_text(receiver, 1) == "Iniciando servidor UDP - Zarim"; }, 5000))
        << receiver.process.output;

    std::uint8_t bytes[4];
    const ipv4_address address = lookup_host_address("", 1);
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<std::uint8_t>(address >> (8 * i));
    const byte_string second = "Recebendo dados via " + format_address_text(bytes) + ":3000...";
    ASSERT_TRUE(wait_until(receiver, [&] { return row_text(receiver, 2) == second; }, 5000))
        << row_text(receiver, 2);
    ASSERT_TRUE(wait_for_fixed_screen(receiver));

    const byte_string expected[9] = {
        "",
        "             Decodificador Zarim Binario v 1.00 (estacao RX)",
        "",
        "                           LOG:" + log_file_name(),
        "",
        "",
        byte_string(border),
        byte_string(header),
        byte_string(border),
    };
    for (int row = 1; row <= 9; ++row) {
        EXPECT_EQ(row_text(receiver, row), expected[row - 1]) << "row " << row;
        for (int column = 1; column <= 80; ++column) {
            EXPECT_EQ(foreground_at(receiver, row, column), 7) << row << "," << column;
            EXPECT_EQ(background_at(receiver, row, column), 0) << row << "," << column;
        }
    }
    EXPECT_EQ(row_text(receiver, 2).size(), 60u);
    EXPECT_EQ(status_text(), "");
}

TEST_F(Receiver, DrawsTableRowsNewestFirstWithWarningColoursAndLogsThem)
{
    start(25, 80);
    struct step {
        std::uint8_t hours, minutes, seconds, battery;
        bool time_red, battery_red;
    };
    const step steps[] = {
        {12, 0, 0, 200, false, false},   // first frame: gap 0
        {12, 0, 31, 81, true, true},     // gap 31, 1.59 V
        {12, 1, 1, 82, false, false},    // gap 30, 1.61 V
        {23, 59, 59, 200, true, false},  // hours later
        {0, 0, 10, 200, false, false},   // after midnight: negative gap
    };
    std::int16_t counter = 0;
    for (const step& s : steps) {
        tracker_fields fields;
        fields.counter = ++counter;
        fields.hours = s.hours;
        fields.minutes = s.minutes;
        fields.seconds = s.seconds;
        fields.battery = s.battery;
        const byte_string text = frame_text(fields);
        const byte_string counter_cell = "      " + std::to_string(counter);
        deliver(text, "\" -> CRC OK!");
        ASSERT_TRUE(wait_until(
            receiver, [&] { return row_text(receiver, 10).starts_with(counter_cell); }, 5000));
        for (int column = 10; column <= 17; ++column) {
            EXPECT_EQ(foreground_at(receiver, 10, column), s.time_red ? 12 : 7) << counter;
        }
        for (int column = 66; column <= 71; ++column) {
            EXPECT_EQ(foreground_at(receiver, 10, column), s.battery_red ? 12 : 7) << counter;
        }
        for (int column : {1, 9, 18, 40, 65, 72, 78}) {
            EXPECT_EQ(foreground_at(receiver, 10, column), 7) << counter << " column " << column;
        }
    }
    // Older rows moved down one row per frame, unchanged.
    for (int row = 10; row < 15; ++row) {
        const byte_string expected = "      " + std::to_string(15 - row);
        EXPECT_TRUE(row_text(receiver, row).starts_with(expected)) << row_text(receiver, row);
    }
    EXPECT_EQ(row_text(receiver, 14).substr(9, 8), "12:00:00");
    EXPECT_EQ(row_text(receiver, 10).size(), 78u);

    ASSERT_EQ(end_with_escape(receiver), 0);
    const std::vector<byte_string> lines = log_lines();
    ASSERT_EQ(lines.size(), 6u);  // the five frames and the closing FFFF
    EXPECT_EQ(lines[0], " 1 ,12:00:00,-23.5505 ,-46.6333 , 760 , 18.52 , 9 , 20 , 3.92 , 0 ");
    EXPECT_TRUE(lines[1].starts_with(" 2 ,12:00:31,"));
    EXPECT_TRUE(lines[4].starts_with(" 5 ,00:00:10,"));
    EXPECT_EQ(lines[5], " 0 ,00:00:00, 0 , 0 , 0 , 0 , 0 , 0 , 0 , 0 ");
}

TEST_F(Receiver, CrcErrorLineWrapsOverTheBorderOnEightyColumns)
{
    start(25, 80);
    deliver(spoilt_frame, "-> Erro de CRC # 1");
    const byte_string status = status_text();
    EXPECT_TRUE(starts_with_reception(status));
    EXPECT_EQ(status.substr(17), " -> \"" + byte_string(spoilt_frame) + "\"-> Erro de CR");
    EXPECT_EQ(row_text(receiver, 7), "C # 1 " + byte_string(border.substr(6)));
    EXPECT_EQ(row_text(receiver, 8), header);  // the line end moved past it

    deliver(spoilt_frame, "-> Erro de CRC # 2");
    EXPECT_EQ(row_text(receiver, 7), "C # 2 " + byte_string(border.substr(6)));
    EXPECT_EQ(row_text(receiver, 10), "") << "no table row for a CRC failure";
    ASSERT_EQ(end_with_escape(receiver), 0);
    EXPECT_EQ(log_lines().size(), 1u) << "only the closing FFFF is logged";
}

TEST_F(Receiver, ShorterStatusLeavesTheTailOfTheOlderOne)
{
    start(40, 120);
    deliver(spoilt_frame, "-> Erro de CRC # 1");
    deliver(worked_frame, "CRC OK!");
    EXPECT_EQ(status_text().substr(17), " -> \"" + byte_string(worked_frame) + "\" -> CRC OK!CRC # 1");
    EXPECT_EQ(row_text(receiver, 10),
              "   1234  12:34:56 -23.550520  -46.633308   760  50.0    9   -10    4.02   0.00");
}

TEST_F(Receiver, ShowsEveryControlByteOfADatagramAsOneCell)
{
    start(25, 120);
    byte_string payload;
    for (int b = 0; b < 32; ++b) payload.push_back(static_cast<char>(b));
    for (int b = 127; b < 192; ++b) payload.push_back(static_cast<char>(b));
    deliver(payload, "-> Erro de CRC # 1");
    // "Recebido hh:mm:ss -> \"" takes 22 cells; each byte then one cell.
    for (std::size_t i = 0; i < payload.size(); ++i) {
        const int column = 23 + static_cast<int>(i);
        const int row = column > 120 ? 7 : 6;
        EXPECT_EQ(vterm_cell_at(receiver.screen, row, column > 120 ? column - 120 : column).code_point,
                  glyph_code_point(static_cast<unsigned char>(payload[i])))
            << "byte " << static_cast<int>(static_cast<unsigned char>(payload[i]));
    }
    EXPECT_EQ(row_text(receiver, 8).substr(0, 79), header) << "nothing moved the cursor or the rows";
    EXPECT_EQ(row_text(receiver, 1), "");
}

TEST_F(Receiver, EndsOnEscapeAtTheNextDatagramAndRestoresTheTerminal)
{
    start_watched(receiver, 25, 80);
    const termios before = terminal_modes_now(receiver.process);
    ASSERT_TRUE(wait_for_fixed_screen(receiver));
    const termios during = terminal_modes_now(receiver.process);
    EXPECT_EQ(during.c_lflag & (ICANON | ECHO | ISIG), 0u) << "raw while running";

    type_keys(receiver.process, "\x03");  // Ctrl+C is just a key
    deliver(worked_frame, "CRC OK!");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    int status = 0;
    ASSERT_EQ(waitpid(receiver.process.pid, &status, WNOHANG), 0) << "Ctrl+C ended the receiver";
    kill(receiver.process.pid, SIGINT);  // nor does the signal itself
    deliver(spoilt_frame, "Erro de CRC # 1");
    ASSERT_EQ(waitpid(receiver.process.pid, &status, WNOHANG), 0) << "SIGINT ended the receiver";

    status = end_with_escape(receiver);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const termios after = terminal_modes_now(receiver.process);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_TRUE(vterm_cursor_visible(receiver.screen));
    EXPECT_EQ(row_text(receiver, 8), header) << "the screen keeps its content";
}

TEST_F(Receiver, BeepsRestoresTheTerminalSaysWhyAndFailsWhenThePortIsHeld)
{
    const int holder = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(holder, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(3000);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << std::strerror(errno);

    start_watched(receiver, 25, 80);
    const int status = wait_for_end(receiver, 10000);
    close(holder);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(vterm_bell_count(receiver.screen), 1);
    EXPECT_EQ(row_text(receiver, 1), "Iniciando servidor UDP - Zarim");
    const byte_view reason = "Nao foi possivel abrir a porta UDP 3000: em uso por outro programa";
    EXPECT_EQ(row_text(receiver, 2), reason);
    const byte_string& output = receiver.process.output;
    const std::size_t restored = output.rfind("\x1b[?25h");
    EXPECT_TRUE(output.find('\a') < restored && restored < output.find(reason)) << output;
    EXPECT_EQ(output.find("Recebendo"), byte_string::npos);
}

// A row of a real flight west of 100 degrees W in the jet stream: the
// longitude and the speed each take one position more than the mask gives
// them, so the row is 80 characters long and the climb rate ends in
// column 80.
TEST_F(Receiver, WidenedRowIsShownWholeAsFarAsTheTerminalReaches)
{
    start(25, 80);
    tracker_fields fields;
    fields.counter = 1233;
    fields.hours = 14;
    fields.minutes = 48;
    fields.seconds = 43;
    fields.latitude = 39.453581f;
    fields.longitude = -103.522522f;
    fields.altitude = 14990;
    fields.speed_knots = 63;  // 116.7 km/h
    fields.satellites = 9;
    fields.temperature = 3;
    fields.battery = 80;  // 1.57 V: the battery slice is red
    deliver(frame_text(fields), "CRC OK!");
    fields.counter = 1234;
    fields.seconds = 49;
    fields.altitude = 14951;
    deliver(frame_text(fields), "CRC OK!");
    const byte_string row = "   1234  14:48:49  39.453579  -103.522522 14951  116.7    9     3    1.57  -6.50";
    ASSERT_TRUE(wait_until(receiver, [&] { return row_text(receiver, 10) == row; }, 5000)) << row_text(receiver, 10);
    for (int column = 1; column <= 80; ++column) {
        EXPECT_EQ(foreground_at(receiver, 10, column), column >= 66 && column <= 71 ? 12 : 7) << column;
    }

    // One column narrower, the next row is cut at the terminal's edge and
    // wraps over nothing.
    resize_vterm_screen(receiver.screen, 25, 79);
    resize_terminal(receiver.process, 25, 79);
    fields.counter = 1235;
    fields.seconds = 55;
    fields.altitude = 14912;
    deliver(frame_text(fields), "CRC OK!");
    const byte_string next = "   1235  14:48:55  39.453579  -103.522522 14912  116.7    9     3    1.57  -6.5";
    ASSERT_TRUE(wait_until(receiver, [&] { return row_text(receiver, 10) == next; }, 5000)) << row_text(receiver, 10);
    EXPECT_EQ(row_text(receiver, 11), row.substr(0, 79));

    EXPECT_EQ(end_with_escape(receiver), 0);
}

// Root cannot write a read-only mount either: the lines wait, and the log
// file name says so until they are written.
TEST_F(Receiver, LogNameIsLightRedWhileLinesWaitToBeWritten)
{
    if (!enter_private_mounts()) GTEST_SKIP() << "a read-only mount of the test's own needs root";
    const std::string directory = make_scratch_directory();
    ASSERT_TRUE(mount_read_only(directory)) << std::strerror(errno);
    struct unmount_at_end {
        std::string directory;
        ~unmount_at_end() { unmount(directory); }
    } const mounted{directory};
    start_watched(receiver, 25, 80, directory);
    ASSERT_TRUE(wait_for_fixed_screen(receiver));
    const byte_string log_row = row_text(receiver, 4);
    // The name's colour, or -1 when its cells differ.
    const auto name_colour = [&] {
        const int colour = foreground_at(receiver, 4, 32);
        for (int column = 28; column <= 47; ++column) {
            if (foreground_at(receiver, 4, column) != (column < 32 ? 7 : colour)) return -1;
        }
        return colour;
    };
    EXPECT_EQ(name_colour(), 7);

    for (const int number : {1, 2}) {
        deliver(numbered_frame(number), numbered_frame(number) + "\" -> CRC OK!");
        ASSERT_TRUE(wait_until(receiver, [&] { return name_colour() == 12; }, 5000)) << name_colour();
    }
    EXPECT_EQ(row_text(receiver, 4), log_row);
    EXPECT_EQ(log_size(directory), 0);

    ASSERT_TRUE(make_writable(directory)) << std::strerror(errno);
    deliver(numbered_frame(3), numbered_frame(3) + "\" -> CRC OK!");
    ASSERT_TRUE(wait_until(receiver, [&] { return name_colour() == 7; }, 5000)) << name_colour();
    std::vector<int> logged;
    ASSERT_TRUE(holds_numbered_lines_in_order(read_log(directory), logged));
    EXPECT_EQ(logged, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(end_with_escape(receiver), 0);
}

// Lines the log never took by the end of the run are said, and given, on
// the standard error once the terminal is restored, and the run fails.
TEST_F(Receiver, LinesNeverLoggedAreGivenOnTheStandardErrorAtTheEnd)
{
    if (!enter_private_mounts()) GTEST_SKIP() << "a read-only mount of the test's own needs root";
    const std::string directory = make_scratch_directory();
    ASSERT_TRUE(mount_read_only(directory)) << std::strerror(errno);
    struct unmount_at_end {
        std::string directory;
        ~unmount_at_end() { unmount(directory); }
    } const mounted{directory};
    start_watched(receiver, 25, 80, directory);
    ASSERT_TRUE(wait_for_fixed_screen(receiver));
    for (const int number : {1, 2}) deliver(numbered_frame(number), numbered_frame(number) + "\" -> CRC OK!");

    const int status = end_with_escape(receiver, "00");  // a wake that is no frame
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 3);
    const byte_string& output = receiver.process.output;
    const byte_string head = "Linhas nao gravadas em " + log_file_name() + ": 2";
    const std::size_t said = output.find(head);
    ASSERT_NE(said, byte_string::npos) << output;
    EXPECT_LT(output.rfind("\x1b[?25h"), said) << "said after the terminal is restored";
    // The terminal's own line ends come on top of the lines' CR LF.
    log_contents after;
    std::istringstream text(output.substr(said + head.size()));
    for (byte_string line; std::getline(text, line);) {
        std::erase(line, '\r');
        if (!line.empty()) after.lines.push_back(line);
    }
    std::vector<int> given;
    ASSERT_TRUE(holds_numbered_lines_in_order(after, given));
    EXPECT_EQ(given, (std::vector<int>{1, 2}));
    EXPECT_EQ(log_size(directory), 0);
}

// At 40x10 the layout has no room and the frames scroll it away; back at
// 100x30 the fixed screen is whole again, around what the model kept.
TEST_F(Receiver, FixedScreenComesBackWholeWhenTheTerminalGrowsAgain)
{
    start(25, 80);
    const byte_string fixed_rows[9] = {"",
                                       "             Decodificador Zarim Binario v 1.00 (estacao RX)",
                                       "",
                                       "                           LOG:" + log_file_name(),
                                       "",
                                       "",  // the status row is not fixed
                                       byte_string(border),
                                       byte_string(header),
                                       byte_string(border)};
    // Logged and drawn: the number of a frame is the count of lines it
    // leaves in the log.
    const auto send_and_wait = [&](int number) {
        send_datagram(numbered_frame(number));
        const auto logged = static_cast<std::size_t>(number);
        ASSERT_TRUE(wait_until(
            receiver, [&] { return read_log(receiver.process.directory).lines.size() == logged; }, 5000));
        ASSERT_TRUE(wait_for_quiet(receiver, 100, 5000));
    };
    send_and_wait(1);
    resize_vterm_screen(receiver.screen, 10, 40);
    resize_terminal(receiver.process, 10, 40);
    send_and_wait(2);
    send_and_wait(3);

    resize_vterm_screen(receiver.screen, 30, 100);
    resize_terminal(receiver.process, 30, 100);
    send_and_wait(4);
    for (int row = 1; row <= 9; ++row) {
        if (row != 6) {
            EXPECT_EQ(row_text(receiver, row), fixed_rows[row - 1]) << "row " << row;
        }
    }
    EXPECT_TRUE(starts_with_reception(row_text(receiver, 6))) << row_text(receiver, 6);
    EXPECT_EQ(number_of_table_row(row_text(receiver, 10)), 4);
    EXPECT_TRUE(shows_its_last_repaint(receiver));
    EXPECT_EQ(end_with_escape(receiver, numbered_frame(5)), 0);
}

TEST_F(Receiver, UsesNoProcessorTimeWhileIdle)
{
    start(25, 80);
    const long before = cpu_ticks(receiver.process);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const long after = cpu_ticks(receiver.process);
    ASSERT_GE(before, 0);
    EXPECT_LE(after - before, 2) << "ticks of CPU in two idle seconds";
}

}  // namespace
