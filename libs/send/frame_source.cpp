#include "frame_source.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "tool_output.h"

namespace {

// Short enough that a stop request is seen promptly while a pipe is idle.
constexpr int input_wait_ms = 250;

void report_line(const frame_source& source, std::string_view problem)
{
    report_at(source.name, source.reader.line_number, problem);
}

source_status next_line(frame_source& source, const volatile std::sig_atomic_t& stop,
                        std::string& line)
{
    for (;;) {
        int error = 0;
        switch (read_line(source.reader, line, error, input_wait_ms)) {
        case line_status::line:
            return source_status::frame;
        case line_status::too_long:
            report_line(source, "line too long");
            return source_status::skipped;
        case line_status::waiting:
            if (stop) return source_status::end;
            break;
        case line_status::end:
            return source_status::end;
        case line_status::failure:
            report("cannot read " + source.name + ": " + error_text(error));
            return source_status::failure;
        }
    }
}

source_status next_replayed(frame_source& source, const volatile std::sig_atomic_t& stop,
                            std::string& text)
{
    std::string line;
    for (;;) {
        const source_status status = next_line(source, stop, line);
        if (status != source_status::frame) return status;
        if (!line.empty()) break;  // a blank line is no frame, and no fault either
    }
    telemetry_fields fields;
    std::string problem;
    if (!parse_log_line(line, fields, problem)) {
        report_line(source, problem);
        return source_status::skipped;
    }
    advance_log_clock(source.clock, fields);
    text = frame_hex_text(encode_frame(fields));
    return source_status::frame;
}

// A wind profile is a page of text at most; anything larger is no sounding.
constexpr std::size_t largest_wind_profile = 1 << 20;

bool read_small_file(const std::string& path, std::string& text, int& error)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
        return false;
    }
    char buffer[65536];
    text.clear();
    error = 0;
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) error = errno;
        if (got <= 0) break;
        text.append(buffer, static_cast<std::size_t>(got));
        if (text.size() > largest_wind_profile) {
            error = EFBIG;
            break;
        }
    }
    (void)close(fd);  // only read from: a failing close loses nothing
    return error == 0;
}

bool plan_the_sky(const send_options& options, sky_plan& plan)
{
    plan.burst_altitude = static_cast<double>(options.burst_altitude);
    plan.seed = options.seed;
    if (options.wind_profile_file.empty()) return true;
    std::string text;
    int error = 0;
    if (!read_small_file(options.wind_profile_file, text, error)) {
        report("cannot read " + options.wind_profile_file + ": " + error_text(error));
        return false;
    }
    std::size_t bad_line = 0;
    std::string problem;
    if (read_wind_profile(text, plan.winds, bad_line, problem)) return true;
    if (bad_line == 0) report(options.wind_profile_file + ": " + problem);
    else report_at(options.wind_profile_file, bad_line, problem);
    return false;
}

source_status next_standard_input(frame_source& source, const volatile std::sig_atomic_t& stop,
                                  std::string& text)
{
    const source_status status = next_line(source, stop, text);
    if (status == source_status::frame && text.size() > largest_datagram) {
        report_line(source, "longer than one datagram can carry (65507 bytes)");
        return source_status::skipped;
    }
    return status;
}

}  // namespace

bool open_frame_source(const send_options& options, long double now, frame_source& source)
{
    source.mode = options.mode;
    switch (options.mode) {
    case send_mode::simulate: {
        source.flight = flight_state{};
        source.flight.start_time = now;
        source.flight.step = options.step != 0 ? options.step : 1 / options.rate;
        source.flight.plan.burst_altitude = options.burst_altitude;
        if (options.steady) return true;
        sky_plan plan;
        if (!plan_the_sky(options, plan)) return false;
        source.flight.sky = std::make_shared<const sky_flight>(fly_sky(plan));
        return true;
    }
    case send_mode::replay:
        source.name = options.replay_file;
        source.clock = log_clock{};
        source.reader.fd = open(options.replay_file.c_str(), O_RDONLY | O_CLOEXEC);
        if (source.reader.fd < 0) {
            report("cannot open " + options.replay_file + ": " + error_text(errno));
            return false;
        }
        return true;
    case send_mode::standard_input:
        source.name = "stdin";
        source.reader.fd = STDIN_FILENO;
        return true;
    case send_mode::frames:
        source.next_text = 0;
        return true;
    case send_mode::none:
        break;
    }
    report("no frame source chosen");
    return false;
}

source_status next_frame_text(frame_source& source, const send_options& options,
                              const volatile std::sig_atomic_t& stop, std::string& text)
{
    switch (source.mode) {
    case send_mode::simulate:
        text = frame_hex_text(encode_frame(step_flight(source.flight).fields));
        return source_status::frame;
    case send_mode::replay:
        return next_replayed(source, stop, text);
    case send_mode::standard_input:
        return next_standard_input(source, stop, text);
    case send_mode::frames:
        if (source.next_text == options.frames.size()) return source_status::end;
        text = options.frames[source.next_text++];
        return source_status::frame;
    case send_mode::none:
        break;
    }
    return source_status::end;
}

void close_frame_source(frame_source& source)
{
    // Only read from, so a failing close loses nothing; standard input is
    // not ours to close.
    if (source.mode == send_mode::replay && source.reader.fd >= 0) (void)close(source.reader.fd);
    source.reader.fd = -1;
}
