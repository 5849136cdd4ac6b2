#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

#include "flight_simulation.h"
#include "logfile/log_file.h"
#include "received_frame.h"
#include "sender_process.h"

namespace {

std::vector<std::string> to_port(const loopback_receiver& receiver, std::vector<std::string> arguments)
{
    // In front, so that "--" among the arguments cannot turn them into texts.
    arguments.insert(arguments.begin(), {"--port", std::to_string(receiver.port)});
    return arguments;
}

std::string write_log(const std::string& content)
{
    char name[] = "/tmp/QLT_replay_XXXXXX";
    const int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    close(fd);
    return name;
}

bool is_tracker_text(const std::string& text)
{
    if (text.size() != 44) return false;
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    }
    return true;
}

}  // namespace

TEST(sender_process, bad_command_lines_and_inputs_are_reported)
{
    struct row {
        std::vector<std::string> arguments;
        int status;
        const char* message;
    };
    const row rows[] = {
        {{}, 2, "choose one of --simulate"},
        {{"--simulate", "--bogus"}, 2, "unknown option --bogus"},
        {{"--simulate", "--port"}, 2, "missing value for --port"},
        {{"--simulate", "--rate", "--count", "3"}, 2, "missing value for --rate"},
        {{"--simulate", "--port", "65536"}, 2, "bad value '65536' for --port"},
        {{"--simulate", "--rate", "0"}, 2, "bad value '0' for --rate"},
        {{"--simulate", "--rate=fast"}, 2, "bad value 'fast' for --rate"},
        {{"--simulate", "--count", "-1"}, 2, "bad value '-1' for --count"},
        {{"--simulate", "--corrupt", "100.5"}, 2, "for --corrupt"},
        {{"--simulate", "--stdin"}, 2, "choose only one"},
        {{"--stdin", "01AB"}, 2, "unexpected argument '01AB'"},
        {{"--frames"}, 2, "needs at least one frame text"},
        {{"--frames", "01", "--step", "2"}, 2, "--step applies to --simulate only"},
        {{"--simulate", "--speed", "2"}, 2, "--speed applies to --replay only"},
        {{"--replay", "x", "--speed", "2", "--rate", "5"}, 2, "choose only one of --rate and --speed"},
        {{"--replay", "x", "--speed", "0"}, 2, "bad value '0' for --speed"},
        {{"--simulate", "--help=yes"}, 2, "--help takes no value"},
        {{"--simulate", "-x"}, 2, "unknown option -x"},
        {{"--simulate", "--count=-1"}, 2, "bad value '-1' for --count"},
        {{"--replay", "/nonexistent/QLT_x.txt"}, 1, "cannot open /nonexistent/QLT_x.txt"},
        {{"--replay", "/"}, 1, "cannot read /"},
        {{"--simulate", "--host", "nowhere.invalid"}, 1, "cannot resolve host 'nowhere.invalid'"},
        {{"--frames", "01", "--steady"}, 2, "--steady applies to --simulate only"},
        {{"--replay", "x", "--burst-altitude", "20000"}, 2, "--burst-altitude applies to --simulate only"},
        {{"--simulate", "--burst-altitude", "40000"}, 2, "bad value '40000' for --burst-altitude"},
        {{"--simulate", "--steady", "--wind-profile", "w.txt"}, 2, "not to --steady"},
        {{"--simulate", "--wind-profile", "/nonexistent/winds.txt"}, 1, "cannot read /nonexistent/winds.txt"},
        {{"--simulate", "--wind-profile", "/dev/null"}, 1, "no wind levels"},
    };
    for (const row& r : rows) {
        const sender_result result = run_sender_binary(r.arguments);
        const std::string shown = r.arguments.empty() ? "(none)" : r.arguments.back();
        EXPECT_EQ(result.status, r.status) << shown << ": " << result.err;
        EXPECT_NE(result.err.find(r.message), std::string::npos) << shown << ": " << result.err;
        EXPECT_TRUE(result.out.empty()) << shown;
    }

    const sender_result help = run_sender_binary({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--simulate"), std::string::npos);
    EXPECT_TRUE(help.err.empty());
    const sender_result version = run_sender_binary({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(version.out.starts_with("zarim-send ")) << version.out;
}

// Given texts travel unchanged, one datagram each, in order, and are echoed.
TEST(sender_process, frame_texts_arrive_byte_for_byte)
{
    loopback_receiver receiver = open_loopback_receiver();
    const std::vector<std::string> texts = {
        "01D2040C22387767BCC182883AC2F8021B09F6CD3018", "01d2040c22", "not hex, and \x01\x7f\xff\r\n",
        "", "--looks-like-an-option", std::string(600, 'A')};
    std::vector<std::string> arguments = {"--rate", "1000", "--frames", "--"};
    arguments.insert(arguments.end(), texts.begin(), texts.end());
    const sender_result result = run_sender_binary(to_port(receiver, arguments));
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(receive_all(receiver), texts);
    std::string echo;
    for (const std::string& t : texts) echo += t + "\n";
    EXPECT_EQ(result.out, echo);

    const sender_result limited = run_sender_binary(
        to_port(receiver, {"--frames", "A1", "B2", "C3", "--count", "2", "--rate", "1000"}));
    EXPECT_EQ(limited.status, 0);
    EXPECT_EQ(receive_all(receiver), (std::vector<std::string>{"A1", "B2"}));
    close_loopback_receiver(receiver);
}

TEST(sender_process, standard_input_lines_lose_only_their_line_ends)
{
    loopback_receiver receiver = open_loopback_receiver();
    const std::string too_long(70000, 'F');
    const sender_result result =
        run_sender_binary(to_port(receiver, {"--stdin", "--rate", "1000"}),
                          "A1B2\r\nC3\n\n" + too_long + "\nmid\rdle\nD4");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err.rfind("stdin:4: ", 0), 0u) << result.err;
    EXPECT_EQ(receive_all(receiver), (std::vector<std::string>{"A1B2", "C3", "", "mid\rdle", "D4"}));
    close_loopback_receiver(receiver);
}

TEST(sender_process, simulation_keeps_count_and_rate)
{
    loopback_receiver receiver = open_loopback_receiver();
    const auto started = std::chrono::steady_clock::now();
    const sender_result result =
        run_sender_binary(to_port(receiver, {"--simulate", "--count", "5", "--rate", "20", "--host", "localhost"}));
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_GE(took.count(), 0.19);  // four periods of 50 ms between five frames
    EXPECT_LT(took.count(), 3.0);

    const std::vector<std::string> frames = receive_all(receiver);
    ASSERT_EQ(frames.size(), 5u);
    receiver_state state;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_TRUE(is_tracker_text(frames[i])) << frames[i];
        decoded_frame d;
        ASSERT_TRUE(receive_frame_text(frames[i], state, d)) << frames[i];
        EXPECT_EQ(d.counter, static_cast<std::int32_t>(i + 1));
    }
    close_loopback_receiver(receiver);
}

// The same seed corrupts the same frames (the frames themselves differ from
// run to run, as their times follow the clock); every corrupted one fails
// the CRC.
TEST(sender_process, corruption_is_repeatable_and_fails_the_crc)
{
    loopback_receiver receiver = open_loopback_receiver();
    const std::vector<std::string> arguments = {"--simulate", "--count", "400", "--rate", "100000",
                                                "--corrupt", "30", "--seed", "7"};
    std::vector<std::vector<bool>> runs;
    for (int run = 0; run < 2; ++run) {
        const sender_result result = run_sender_binary(to_port(receiver, arguments));
        EXPECT_EQ(result.status, 0) << result.err;
        std::vector<bool> failed;
        receiver_state state;
        for (const std::string& text : receive_all(receiver)) {
            EXPECT_TRUE(is_tracker_text(text)) << text;
            decoded_frame d;
            failed.push_back(!receive_frame_text(text, state, d));
        }
        runs.push_back(failed);
    }
    ASSERT_EQ(runs[0].size(), 400u);
    EXPECT_EQ(runs[0], runs[1]);
    const auto failures = std::count(runs[0].begin(), runs[0].end(), true);
    EXPECT_GT(failures, 80);  // 30% of 400, loosely
    EXPECT_LT(failures, 160);
    close_loopback_receiver(receiver);
}

TEST(sender_process, stops_cleanly_on_sigterm)
{
    loopback_receiver receiver = open_loopback_receiver();
    const pid_t child = start_sender_binary(to_port(receiver, {"--simulate", "--rate", "0.001"}));
    ASSERT_GT(child, 0);
    // The first frame goes out at once; the next would be 1000 s later.
    EXPECT_EQ(receive_all(receiver, 300, 3000).size(), 1u);
    kill(child, SIGTERM);
    EXPECT_EQ(wait_for_sender(child, 3000), 0);
    close_loopback_receiver(receiver);
}

// What the sender replays, the receiver logs again in the same words.
TEST(sender_process, a_replayed_log_is_logged_again_unchanged)
{
    // Hand-written lines; their climb rates follow from the frames before
    // them. Lines 3, 5 and 7 are no frames: two of them are reported.
    const std::vector<std::string> hand = {
        " 1233 ,12:34:46,-23.55 ,-46.633 , 700 , 0 , 12 , 25 , 4.21 , 0 \r\n",
        " 1234 ,12:34:56,-23.55052 ,-46.63331 , 760 , 50.004 , 9 ,-10 , 4.02 , 6 \r\n",
        "garbage\r\n",
        " 1235 ,12:35:10, .00012 ,-100.5 , 0 , 472.26 , 0 , 127 , .98 ,-54.29 \n",
        "\r\n",
        " 1236 ,00:00:00, 0 , 0 , 0 , 0 , 0 , 0 , 0 ,-54.29 \r\n",
        "12:00\r\n",
    };
    std::string hand_log;
    for (const std::string& line : hand) hand_log += line;
    std::vector<std::string> hand_expected = {hand[0], hand[1], hand[3], hand[5]};
    hand_expected[2].insert(hand_expected[2].size() - 1, "\r");

    flight_state flight;
    flight.start_time = 36000;
    flight.step = 7;  // more than the receiver's 5 s, so climb rates appear
    receiver_state state;
    std::string generated_log;
    std::vector<std::string> generated_expected;
    for (int i = 0; i < 150; ++i) {
        decoded_frame d;
        ASSERT_TRUE(receive_frame_text(frame_hex_text(encode_frame(step_flight(flight).fields)), state, d));
        generated_expected.push_back(log_line(d));
        generated_log += generated_expected.back();
    }

    struct row {
        std::string content;
        std::vector<std::string> expected;
        int status;
        std::vector<int> reported_lines;
    };
    const row rows[] = {{hand_log, hand_expected, 1, {3, 7}},
                        {generated_log, generated_expected, 0, {}}};
    loopback_receiver receiver = open_loopback_receiver();
    for (const row& r : rows) {
        const std::string name = write_log(r.content);
        const sender_result result =
            run_sender_binary(to_port(receiver, {"--replay", name, "--rate", "5000"}));
        EXPECT_EQ(result.status, r.status) << result.err;
        for (const int line : r.reported_lines) {
            const std::string place = name + ":" + std::to_string(line) + ": ";
            EXPECT_NE(("\n" + result.err).find("\n" + place), std::string::npos) << result.err;
        }
        if (r.reported_lines.empty()) {
            EXPECT_TRUE(result.err.empty()) << result.err;
        }

        const std::vector<std::string> frames = receive_all(receiver);
        receiver_state replayed;
        std::vector<std::string> logged;
        for (const std::string& text : frames) {
            EXPECT_TRUE(is_tracker_text(text)) << text;
            decoded_frame d;
            if (receive_frame_text(text, replayed, d)) logged.push_back(log_line(d));
        }
        EXPECT_EQ(logged, r.expected);
        unlink(name.c_str());
    }
    close_loopback_receiver(receiver);
}

std::string numbered_log_line(int counter, int of_day)
{
    const auto two = [](int n) { return std::string(1, static_cast<char>('0' + n / 10)) + static_cast<char>('0' + n % 10); };
    return " " + std::to_string(counter) + " ," + two(of_day / 3600 % 24) + ":" + two(of_day / 60 % 60) + ":" +
           two(of_day % 60) + ", 1 , 1 , 1 , 1 , 1 , 1 , 1 , 1 \r\n";
}

// At a speed, lines go out as far apart as their times of day, divided by
// it; past midnight too.
TEST(sender_process, a_log_replayed_at_a_speed_keeps_its_own_times)
{
    loopback_receiver receiver = open_loopback_receiver();
    const std::string name = write_log(numbered_log_line(1, 86398) + numbered_log_line(2, 86399) +
                                       numbered_log_line(3, 1));
    const auto started = std::chrono::steady_clock::now();
    const sender_result result = run_sender_binary(to_port(receiver, {"--replay", name, "--speed", "10"}));
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(result.err.empty()) << result.err;
    EXPECT_GE(took.count(), 0.29);  // 3 s of log at ten times real time
    EXPECT_LT(took.count(), 3.0);  // not a day
    EXPECT_EQ(receive_all(receiver).size(), 3u);
    unlink(name.c_str());
    close_loopback_receiver(receiver);
}

// The warning comes once, when frames are due faster than a receiver takes
// them for a tenth of a second, whichever option asked for them.
TEST(sender_process, warns_once_of_more_frames_a_second_than_a_receiver_takes)
{
    std::string log;
    for (int i = 0; i < 2001; ++i) log += numbered_log_line(i, 36000 + i);
    const std::string name = write_log(log);
    struct row {
        std::vector<std::string> arguments;
        bool warns;
    };
    const row rows[] = {
        {{"--replay", name, "--speed", "20000"}, false},
        {{"--replay", name, "--speed", "40000"}, true},
        {{"--simulate", "--count", "2001", "--rate", "1000000"}, true},
    };
    loopback_receiver receiver = open_loopback_receiver();
    for (const row& r : rows) {
        const sender_result result = run_sender_binary(to_port(receiver, r.arguments));
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.err, r.warns ? "zarim-send: warning: more than 20000 frames a second; "
                                        "a receiver on a terminal may lose some\n"
                                      : "")
            << r.arguments.back();
        receive_all(receiver, 50);
    }
    unlink(name.c_str());
    close_loopback_receiver(receiver);
}
