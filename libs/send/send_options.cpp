#include "send_options.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <string_view>

#include "command_line.h"

namespace {

bool read_unsigned(std::string_view text, std::uint64_t highest, std::uint64_t& value)
{
    if (text.empty()) return false;
    std::uint64_t result = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (result > (highest - digit) / 10) return false;
        result = result * 10 + digit;
    }
    value = result;
    return true;
}

// Plain or exponent form; from_chars ignores the locale, and accepting only
// finite values keeps "inf" and "nan" out.
bool read_decimal(std::string_view text, long double low, long double high, long double& value)
{
    double number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number,
                                              std::chars_format::general);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) return false;
    if (!std::isfinite(number) || number < low || number > high) return false;
    value = number;
    return true;
}

bool fail(std::string& problem, std::string text)
{
    problem = std::move(text);
    return false;
}

bool apply_value(send_options& options, std::string_view name, std::string_view value,
                 std::string& problem)
{
    const std::string bad = "bad value '" + std::string(value) + "' for " + std::string(name);
    std::uint64_t whole = 0;
    if (name == "--host") {
        if (value.empty()) return fail(problem, "empty value for --host");
        options.host = value;
    } else if (name == "--port") {
        if (!read_unsigned(value, 65535, whole) || whole == 0)
            return fail(problem, bad + ": expected a port from 1 to 65535");
        options.port = static_cast<std::uint16_t>(whole);
    } else if (name == "--rate") {
        if (!read_decimal(value, lowest_rate, highest_rate, options.rate))
            return fail(problem, bad + ": expected frames per second from 0.0001 to 1000000");
    } else if (name == "--speed") {
        if (!read_decimal(value, lowest_speed, highest_speed, options.speed))
            return fail(problem, bad + ": expected times real time from 0.001 to 1000000");
    } else if (name == "--count") {
        if (!read_unsigned(value, UINT64_MAX, options.count))
            return fail(problem, bad + ": expected a whole number of frames");
        options.count_given = true;
    } else if (name == "--step") {
        if (!read_decimal(value, 0.000001L, 1000000, options.step))
            return fail(problem, bad + ": expected seconds from 0.000001 to 1000000");
    } else if (name == "--replay") {
        if (value.empty()) return fail(problem, "empty file name for --replay");
        options.replay_file = value;
    } else if (name == "--corrupt") {
        if (!read_decimal(value, 0, 100, options.corrupt_percent))
            return fail(problem, bad + ": expected a percentage from 0 to 100");
    } else if (name == "--wind-profile") {
        if (value.empty()) return fail(problem, "empty file name for --wind-profile");
        options.wind_profile_file = value;
    } else if (name == "--burst-altitude") {
        if (!read_decimal(value, 1000, highest_burst, options.burst_altitude))
            return fail(problem, bad + ": expected metres from 1000 to 32000");
    } else if (name == "--seed") {
        if (!read_unsigned(value, UINT64_MAX, options.seed))
            return fail(problem, bad + ": expected a whole number");
    }
    return true;
}

}  // namespace

bool parse_send_options(int argc, const char* const* argv, send_options& options,
                        std::string& problem)
{
    options = send_options{};
    CLI::App app{"", "zarim-send"};
    use_companion_conventions(app);
    // Values are kept as given and checked below, so that each refusal
    // names the value and its range.
    struct valued {
        const char* name;
        std::string text;
    };
    std::array<valued, 11> values{{{"--host", {}},
                                   {"--port", {}},
                                   {"--rate", {}},
                                   {"--speed", {}},
                                   {"--count", {}},
                                   {"--step", {}},
                                   {"--replay", {}},
                                   {"--corrupt", {}},
                                   {"--seed", {}},
                                   {"--wind-profile", {}},
                                   {"--burst-altitude", {}}}};
    for (valued& v : values) add_valued(app, v.name, v.text);
    bool simulate = false;
    bool frames = false;
    bool standard_input = false;
    app.add_flag("--simulate", simulate);
    app.add_flag("--frames", frames);
    app.add_flag("--stdin", standard_input);
    app.add_flag("--steady", options.steady);
    app.add_flag("--help", options.help);
    app.add_flag("--version", options.version);
    std::vector<std::string> texts;
    app.add_option("texts", texts);
    if (!parse_command_line(app, argc, argv, problem)) return false;
    if (options.help || options.version) return true;

    for (const valued& v : values) {
        if (app.count(v.name) > 0 && !apply_value(options, v.name, v.text, problem)) return false;
    }
    const bool replay = app.count("--replay") > 0;
    const bool chosen[] = {simulate, replay, frames, standard_input};
    if (std::count(std::begin(chosen), std::end(chosen), true) > 1) return fail(problem, "choose only one of --simulate, --replay, --frames and --stdin");
    if (simulate) options.mode = send_mode::simulate;
    if (replay) options.mode = send_mode::replay;
    if (frames) options.mode = send_mode::frames;
    if (standard_input) options.mode = send_mode::standard_input;

    if (options.mode == send_mode::none)
        return fail(problem, "choose one of --simulate, --replay FILE, --frames TEXT... and --stdin");
    if (!texts.empty() && options.mode != send_mode::frames)
        return fail(problem, "unexpected argument '" + texts.front() + "' (frame texts need --frames)");
    if (options.mode == send_mode::frames && texts.empty())
        return fail(problem, "--frames needs at least one frame text");
    for (const std::string& text : texts) {
        if (text.size() > largest_datagram)
            return fail(problem, "a frame text is longer than one datagram can carry (65507 bytes)");
    }
    if (options.step != 0 && options.mode != send_mode::simulate)
        return fail(problem, "--step applies to --simulate only");
    if (options.speed != 0 && options.mode != send_mode::replay)
        return fail(problem, "--speed applies to --replay only");
    if (options.speed != 0 && app.count("--rate") > 0)
        return fail(problem, "choose only one of --rate and --speed");
    for (const char* name : {"--steady", "--wind-profile", "--burst-altitude"}) {
        if (app.count(name) > 0 && options.mode != send_mode::simulate)
            return fail(problem, std::string(name) + " applies to --simulate only");
    }
    if (options.steady && !options.wind_profile_file.empty())
        return fail(problem, "--wind-profile applies to the sky, not to --steady");
    options.frames = std::move(texts);
    return true;
}

const char* send_usage()
{
    return "Usage: zarim-send MODE [OPTION]...\n"
           "Sends telemetry frames as the tracker does: each frame as upper-case\n"
           "hexadecimal text in one UDP datagram.\n"
           "\n"
           "Modes (choose one):\n"
           "  --simulate        a balloon flight from a minute on the pad to the\n"
           "                    landing, then the payload on the ground; runs until\n"
           "                    --count or a signal. The balloon climbs at about\n"
           "                    5 m/s through the standard atmosphere and drifts with\n"
           "                    a wind that changes with height (a spring day's, with\n"
           "                    a jet of 40 m/s near 11 km, unless --wind-profile);\n"
           "                    after the burst the payload tumbles for a minute and\n"
           "                    a half, then falls under its parachute at a speed\n"
           "                    that slows as the air thickens, 5 m/s at sea level;\n"
           "                    its GPS fixes wander by a few metres\n"
           "  --replay FILE     the frames behind each line of a receiver log\n"
           "                    (QLT_*.txt), at the rate or speed given\n"
           "  --frames TEXT...  the given texts, sent exactly as they are; after --\n"
           "                    even texts beginning with - are frame texts\n"
           "  --stdin           one text per line of standard input, its line end\n"
           "                    (LF or CR LF) removed\n"
           "\n"
           "Options:\n"
           "  --host HOST       receiver name or IPv4 address (default 127.0.0.1)\n"
           "  --port N          receiver UDP port (default 3000)\n"
           "  --rate R          frames per second, fractions allowed, 0.0001 to\n"
           "                    1000000 (default 1); frames keep to a fixed schedule,\n"
           "                    so a late frame is followed by quicker ones\n"
           "  --speed N         --replay only, instead of --rate: N times real time,\n"
           "                    the lines' own times of day apart divided by N;\n"
           "                    fractions allowed, 0.001 to 1000000\n"
           "  --count N         stop after N frames (default: no limit for --simulate,\n"
           "                    everything given for the other modes)\n"
           "  --step SECONDS    --simulate only: flight seconds per frame (default\n"
           "                    1/R, so frame times follow the local clock; a larger\n"
           "                    step runs the flight faster and its clock ahead)\n"
           "  --wind-profile FILE\n"
           "                    --simulate only: the winds by height, one level a\n"
           "                    line: height (metres above the sea), speed (m/s) and\n"
           "                    the direction it blows from (degrees), as a sounding\n"
           "                    gives them; '#' starts a comment; linear between\n"
           "                    levels, as at the nearest beyond them\n"
           "  --burst-altitude M\n"
           "                    --simulate only: metres above the sea where the\n"
           "                    balloon bursts, 1000 to 32000 (default 30000)\n"
           "  --steady          --simulate only: the plain flight instead, one wind\n"
           "                    at every height (6 m/s east, 1.5 m/s south), 5 m/s\n"
           "                    up, 12 m/s down, exact fixes, from launch on\n"
           "  --corrupt P       change one hexadecimal digit of P percent of the\n"
           "                    frames so that their CRC fails (default 0)\n"
           "  --seed N          seed for choosing the corrupted frames and, with\n"
           "                    --simulate, for the sky's GPS noise, draughts and\n"
           "                    tumbling (default 0); the same seed makes the same\n"
           "                    frames\n"
           "  --help            show this text\n"
           "  --version         show the version\n"
           "\n"
           "Every option's value may follow it as --opt VALUE or --opt=VALUE.\n"
           "A receiver showing the frames on a terminal takes about 20000 frames per\n"
           "second without loss (none lost at 20000, some at 40000); the sender warns\n"
           "when it is asked for more, for longer than a tenth of a second.\n"
           "Every frame sent is also written to standard output, one per line.\n"
           "SIGINT and SIGTERM stop the sender after the current frame.\n"
           "Lines that cannot be used are reported as FILE:LINE: on standard error\n"
           "and the rest is still sent.\n"
           "Exit status: 0 when everything was sent, 1 when a line could not be\n"
           "used, reading or sending failed or the host is unknown, 2 for a bad\n"
           "command line.\n";
}
