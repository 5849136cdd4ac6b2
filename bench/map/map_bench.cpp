// The live map measured where it is used.
//
// Landing: the receiver runs on a pseudo-terminal (in a network of its own
// when root), zarim-send --simulate sends it a whole flight at 1 s of
// flight per frame, and zarim-map follows the receiver's log; every frame
// and prediction event the map sends is collected, and the predictions of
// the last five minutes of the descent are measured against where the
// simulation lands the payload.
//
// Latency: zarim-map follows a log in a scratch directory, headless
// Chromium shows its page, and lines are appended one at a time; for each,
// the time from the write to the event reaching a plain stream client, to
// the page's panel showing the frame, and to the browser's next drawing.
//
// Idle: the map's CPU time over ten seconds of a log that does not change,
// with a page open.
//
// Growth: with 10,000, 100,000 and 1,000,000 lines already read, the CPU
// time a line appended to the log costs zarim-map (and live_flight::apply
// alone, in this process), and the time from its write to its event at a
// plain /events client.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "core/frame.h"
#include "flight_simulation.h"
#include "frame_encoding.h"
#include "geodesy.h"
#include "live_flight.h"
#include "log_follower.h"
#include "logfile/log_file.h"
#include "map/headless_chromium.h"
#include "map/http_client.h"
#include "private_network.h"
#include "terminal_child.h"

namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;

std::int64_t now_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string scratch_directory()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/zarim-map-bench-XXXXXX";
    return ::mkdtemp(pattern.data()) != nullptr ? pattern : "";
}

struct map_child {
    pid_t pid = -1;
    std::uint16_t port = 0;
};

bool start_map(map_child& map, const std::string& directory)
{
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return false;
    map.pid = ::fork();
    if (map.pid == 0) {
        ::dup2(out[1], 1);
        const int nothing = ::open("/dev/null", O_RDWR);
        ::dup2(nothing, 0);
        ::dup2(nothing, 2);
        ::execl(ZARIM_MAP_PATH, ZARIM_MAP_PATH, "--listen", "127.0.0.1:0", "--tiles",
                "http://127.0.0.1:1/{z}/{x}/{y}.png", "--station=-23.55,-46.64", directory.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    std::string said;
    const std::string marker = "serving the live map at http://127.0.0.1:";
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
        const std::size_t at = said.find(marker);
        if (at != std::string::npos && said.find('/', at + marker.size()) != std::string::npos) {
            map.port = static_cast<std::uint16_t>(std::stoi(said.substr(at + marker.size())));
            break;
        }
        pollfd p{out[0], POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        char chunk[1024];
        const ssize_t n = ::read(out[0], chunk, sizeof chunk);
        if (n <= 0) break;
        said.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(out[0]);  // it says nothing more that matters; a write to it is ignored
    return map.port != 0;
}

void stop_map(map_child& map)
{
    if (map.pid <= 0) return;
    ::kill(map.pid, SIGTERM);
    int status = 0;
    ::waitpid(map.pid, &status, 0);
    map.pid = -1;
}

int run_sender(const std::vector<std::string>& arguments)
{
    std::vector<std::string> all = {ZARIM_SEND_PATH};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int nothing = ::open("/dev/null", O_RDWR);
        ::dup2(nothing, 0);
        ::dup2(nothing, 1);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

double quantile(std::vector<double> values, double q)
{
    if (values.empty()) return NAN;
    std::sort(values.begin(), values.end());
    const auto at = static_cast<std::size_t>(std::lround(q * static_cast<double>(values.size() - 1)));
    return values[at];
}

void print_spread(const char* what, const std::vector<double>& values, const char* unit)
{
    std::printf("  %-44s median %7.1f %s, 95th percentile %7.1f %s, worst %7.1f %s (%zu)\n", what,
                quantile(values, 0.5), unit, quantile(values, 0.95), unit, quantile(values, 1.0), unit,
                values.size());
}

// ---- the landing prediction against the real receiver and sender ----------

void measure_landing()
{
    std::printf("== landing prediction: zarim-send --simulate -> zarim -> log -> zarim-map\n");
    if (!enter_private_network() && port_3000_taken()) {
        std::printf("  skipped: UDP port 3000 is held and no private network can be had\n");
        return;
    }
    const std::string directory = scratch_directory();
    terminal_child receiver;
    std::string problem;
    if (!start_on_terminal(receiver, ZARIM_RECEIVER_PATH, directory, 24, 80, problem)) {
        std::printf("  skipped: %s\n", problem.c_str());
        return;
    }
    for (int i = 0; i < 100 && !port_3000_taken(); ++i) std::this_thread::sleep_for(100ms);
    map_child map;
    if (!start_map(map, directory)) {
        std::printf("  skipped: zarim-map did not start\n");
        finish_child(receiver, 1000);
        return;
    }
    event_stream page;
    page.open(map.port, "/events?generation=1&from=0");

    const flight_plan plan;  // the sender's --steady flight
    const double landing = static_cast<double>(landing_time(plan));
    const flight_sample touchdown = flight_sample_at(plan, landing_time(plan));
    const auto frames = static_cast<long>(std::ceil(landing)) + 120;
    const auto started = std::chrono::steady_clock::now();
    // Read as a page reads, while the flight is sent.
    std::vector<json> events;
    std::vector<json> predictions;
    std::thread collector([&] {
        const auto deadline = std::chrono::steady_clock::now() + 120s;
        while (static_cast<long>(events.size()) < frames && std::chrono::steady_clock::now() < deadline &&
               !page.ended()) {
            for (const sse_event& e : page.read(200)) {
                if (e.event == "frame") events.push_back(json::parse(e.data));
                if (e.event == "prediction" && e.data != "null") predictions.push_back(json::parse(e.data));
            }
        }
    });
    const int sent = run_sender({"--simulate", "--steady", "--rate", "400", "--step", "1", "--count", std::to_string(frames)});
    collector.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const long peak_kib = peak_resident_kib(map.pid);
    type_bytes(receiver, "\x1b", 1);
    finish_child(receiver, 5000);
    stop_map(map);
    std::printf("  zarim-send status %d; %ld frames sent, %zu frame events from the map in %.1f s\n", sent, frames,
                events.size(), seconds);
    if (events.empty()) return;

    const std::int64_t launch = events.front()["clock_seconds"];
    const json& last = events.back();
    std::vector<double> off;
    std::vector<double> off_last_fix;
    std::vector<double> time_off;
    std::size_t without = 0;
    std::printf("  simulated touchdown %.5f, %.5f after %.0f s; last logged fix %.5f, %.5f\n",
                static_cast<double>(touchdown.latitude), static_cast<double>(touchdown.longitude), landing,
                last["latitude"].get<double>(), last["longitude"].get<double>());
    // Each prediction is made at the fix its fix_time names: one per batch
    // of lines the map reads, so not every frame has its own.
    std::map<std::string, std::int64_t> clock_of;
    for (const json& e : events) clock_of[e["time"]] = e["clock_seconds"];
    std::size_t made = 0;
    for (const json& estimate : predictions) {
        const auto at = clock_of.find(estimate["fix_time"]);
        if (at == clock_of.end()) continue;
        const double elapsed = static_cast<double>(at->second - launch);
        if (elapsed < landing - 300 || elapsed >= landing) continue;
        ++made;
        if (estimate["progress"] != "descent") {
            ++without;
            continue;
        }
        const double lat = estimate["latitude"];
        const double lon = estimate["longitude"];
        off.push_back(ground_path(lat, lon, static_cast<double>(touchdown.latitude),
                                  static_cast<double>(touchdown.longitude))
                          .distance);
        off_last_fix.push_back(ground_path(lat, lon, last["latitude"], last["longitude"]).distance);
        time_off.push_back(std::fabs(estimate["seconds"].get<double>() - (landing - elapsed)));
        for (const double mark : {300.0, 120.0, 60.0, 10.0}) {
            if (std::fabs(landing - elapsed - mark) < 0.5) {
                std::printf("  %3.0f s before landing: prediction %.5f, %.5f, %.1f m from the touchdown, lands in %.0f s\n",
                            mark, lat, lon, off.back(), estimate["seconds"].get<double>());
            }
        }
    }
    std::printf("  predictions made in the last five minutes of descent: %zu, %zu of them not yet in the descent\n",
                made, without);
    print_spread("prediction to the simulated touchdown", off, "m");
    print_spread("prediction to the last logged fix", off_last_fix, "m");
    print_spread("time to landing, error", time_off, "s");
    std::printf("  zarim-map peak resident memory after the flight: %ld KiB\n", peak_kib);
}

// ---- latency in a real browser ---------------------------------------------

class receiver_lines {
public:
    receiver_lines()
    {
        fill_bit_mask_table(masks_);
        flight_.start_time = static_cast<long double>(std::time(nullptr));
    }
    std::string next()
    {
        const std::string bytes = encode_frame(step_flight(flight_).fields);
        byte_string data;
        verify_frame(masks_, bytes, receiver_, data);
        const decoded_frame frame = decode_frame(data, receiver_);
        update_previous(frame, receiver_);
        return log_line(frame);
    }

private:
    flight_state flight_;
    bit_mask_table masks_;
    receiver_state receiver_;
};

void append(const std::string& path, const std::string& line)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    [[maybe_unused]] const ssize_t written = ::write(fd, line.data(), line.size());
    ::close(fd);
}

void measure_latency_and_idle()
{
    std::printf("== latency: a line appended to the log -> the frame on the page\n");
    const std::string directory = scratch_directory();
    const std::string log = directory + "/QLT_20261208.txt";
    receiver_lines lines;
    append(log, lines.next());
    map_child map;
    if (!start_map(map, directory)) {
        std::printf("  skipped: zarim-map did not start\n");
        return;
    }
    headless_chromium browser;
    std::string problem;
    if (!browser.start(1280, 800, problem)) {
        std::printf("  skipped: %s\n", problem.c_str());
        stop_map(map);
        return;
    }
    const std::string origin = "http://127.0.0.1:" + std::to_string(map.port);
    browser.navigate(origin + "/");
    if (!browser.wait_for("document.body.dataset.connection === 'live'", 20s)) {
        std::printf("  skipped: the page did not go live\n");
        stop_map(map);
        return;
    }
    event_stream stream;
    stream.open(map.port, "/events");
    stream.read(300);

    std::vector<double> to_stream;
    std::vector<double> to_panel;
    std::vector<double> to_drawing;
    constexpr int samples = 100;
    for (int i = 2; i < samples + 2; ++i) {
        const std::string line = lines.next();
        const std::int64_t written = now_ms();
        append(log, line);
        const std::vector<sse_event> events = stream.read(5000, 1);
        const std::int64_t streamed = now_ms();
        if (!browser.wait_for("window.zarimShown && window.zarimShown.counter === " + std::to_string(i) +
                                  " && window.zarimShown.drawn !== null",
                              5s)) {
            std::printf("  frame %d never shown\n", i);
            continue;
        }
        const json shown = browser.evaluate("window.zarimShown");
        if (!events.empty()) to_stream.push_back(static_cast<double>(streamed - written));
        to_panel.push_back(static_cast<double>(shown["at"].get<std::int64_t>() - written));
        to_drawing.push_back(static_cast<double>(shown["drawn"].get<std::int64_t>() - written));
        std::this_thread::sleep_for(100ms);
    }
    print_spread("to a plain /events client", to_stream, "ms");
    print_spread("to the page's panel showing it", to_panel, "ms");
    print_spread("to the browser's next drawing", to_drawing, "ms");

    std::printf("== idle: ten seconds of a log that does not change, one page open\n");
    const cpu_time before = child_cpu_time(map.pid);
    std::this_thread::sleep_for(10s);
    const cpu_time after = child_cpu_time(map.pid);
    std::printf("  zarim-map CPU time: %.3f s user, %.3f s system\n", after.user - before.user,
                after.system - before.system);
    std::printf("  zarim-map peak resident memory: %ld KiB\n", peak_resident_kib(map.pid));
    browser.stop();
    stop_map(map);
}

// ---- a line's cost with a long flight already read -------------------------

// The CPU time of every thread of the process so far, in nanoseconds, from
// the scheduler's own account (finer than the clock ticks of /proc/PID/stat).
double process_cpu_ns(pid_t pid)
{
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    double total = 0;
    DIR* listing = ::opendir(tasks.c_str());
    if (listing == nullptr) return 0;
    while (const dirent* entry = ::readdir(listing)) {
        if (entry->d_name[0] == '.') continue;
        std::FILE* stat = std::fopen((tasks + "/" + entry->d_name + "/schedstat").c_str(), "r");
        if (stat == nullptr) continue;
        unsigned long long on_cpu = 0;
        if (std::fscanf(stat, "%llu", &on_cpu) == 1) total += static_cast<double>(on_cpu);
        std::fclose(stat);
    }
    ::closedir(listing);
    return total;
}

double thread_cpu_ns()
{
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

// A long log as the receiver writes it, one frame a second from midnight:
// the payload on the pad, its GPS height wandering, until `launch_at`
// lines, then the sender's simulated flight. The lines measured come 6,000
// s after the launch, in the descent, where the map does the most for a
// frame (the landing estimate).
class long_log {
public:
    explicit long_log(std::size_t launch_at) : launch_at_(launch_at)
    {
        fill_bit_mask_table(masks_);
        flight_.start_time = 0;
    }
    std::string next()
    {
        telemetry_fields fields;
        if (count_ < launch_at_) {
            fields = step_flight(pad_).fields;
            pad_.frames = 0;
            wander_ = wander_ * 1103515245U + 12345U;
            fields.altitude = static_cast<std::int16_t>(fields.altitude + static_cast<int>((wander_ >> 16) % 9) - 4);
        } else {
            fields = step_flight(flight_).fields;
        }
        const auto second = static_cast<long>(count_ % 86400);
        fields.counter = static_cast<std::int16_t>(static_cast<std::uint16_t>(count_ + 1));
        fields.hours = static_cast<std::uint8_t>(second / 3600);
        fields.minutes = static_cast<std::uint8_t>(second / 60 % 60);
        fields.seconds = static_cast<std::uint8_t>(second % 60);
        ++count_;
        const std::string bytes = encode_frame(fields);
        byte_string data;
        verify_frame(masks_, bytes, receiver_, data);
        const decoded_frame frame = decode_frame(data, receiver_);
        update_previous(frame, receiver_);
        return log_line(frame);
    }

private:
    std::size_t launch_at_;
    std::size_t count_ = 0;
    unsigned wander_ = 1;
    flight_state pad_;
    flight_state flight_;
    bit_mask_table masks_;
    receiver_state receiver_;
};

constexpr std::size_t measured_lines = 1000;

// The map's own work for a line, in this process: live_flight::apply of one
// line, with `already` lines read before it as the follower hands them
// over (in pieces of its read bound).
void measure_apply(std::size_t already)
{
    long_log log(already > 6000 ? already - 6000 : 0);
    live_flight flight(station_option{-23.55, -46.64, 0, false});
    follow_news news;
    news.path = "/logs/QLT_20261208.txt";
    news.new_file = true;
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < already; ++i) {
        std::string line = log.next();
        line.resize(line.size() - 2);
        bytes += line.size() + 2;
        news.lines.push_back(std::move(line));
        if (bytes >= log_follower::read_bound || i + 1 == already) {
            flight.apply(news, now_ms());
            news = follow_news{};
            news.path = "/logs/QLT_20261208.txt";
            bytes = 0;
        }
    }
    std::vector<double> each;
    for (std::size_t i = 0; i < measured_lines; ++i) {
        std::string line = log.next();
        line.resize(line.size() - 2);
        news.lines = {line};
        const double before = thread_cpu_ns();
        flight.apply(news, now_ms());
        each.push_back((thread_cpu_ns() - before) / 1000);
    }
    print_spread("live_flight::apply of one line, CPU", each, "us");
}

void measure_growth(std::size_t already)
{
    std::printf("== a line appended with %zu lines already read\n", already);
    measure_apply(already);

    const std::string directory = scratch_directory();
    const std::string path = directory + "/QLT_20261208.txt";
    long_log log(already > 6000 ? already - 6000 : 0);
    {
        std::string text;
        std::FILE* file = std::fopen(path.c_str(), "wb");
        for (std::size_t i = 0; i < already; ++i) {
            text += log.next();
            if (text.size() > (1 << 20) || i + 1 == already) {
                std::fwrite(text.data(), 1, text.size(), file);
                text.clear();
            }
        }
        std::fclose(file);
    }
    map_child map;
    const auto started = std::chrono::steady_clock::now();
    if (!start_map(map, directory)) {
        std::printf("  skipped: zarim-map did not start\n");
        return;
    }
    bool read = false;
    while (!read && std::chrono::steady_clock::now() - started < 600s) {
        const http_response status = http_get(map.port, "/status.json");
        read = status.status == 200 && json::parse(status.body).value("frames", std::size_t{0}) >= already;
        if (!read) std::this_thread::sleep_for(50ms);
    }
    const double loading = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("  zarim-map read the log in %.1f s; resident memory then %ld KiB at its peak\n", loading,
                peak_resident_kib(map.pid));
    event_stream stream;
    stream.open(map.port, "/events");
    stream.read(300);

    std::vector<double> latency;
    const double cpu_before = process_cpu_ns(map.pid);
    for (std::size_t i = 0; i < measured_lines; ++i) {
        const std::string line = log.next();
        const auto written = std::chrono::steady_clock::now();
        append(path, line);
        const std::vector<sse_event> events = stream.read(5000, 1);
        const auto arrived = std::chrono::steady_clock::now();
        if (!events.empty()) latency.push_back(std::chrono::duration<double, std::milli>(arrived - written).count());
        std::this_thread::sleep_for(2ms);
    }
    const double cpu_after = process_cpu_ns(map.pid);
    std::printf("  zarim-map CPU time per appended line (follower, flight, event, stream): %.1f us\n",
                (cpu_after - cpu_before) / 1000 / static_cast<double>(measured_lines));
    print_spread("a line written -> its event at a plain /events client", latency, "ms");
    std::printf("  zarim-map peak resident memory: %ld KiB\n", peak_resident_kib(map.pid));
    stop_map(map);
    std::filesystem::remove_all(directory);
}

}  // namespace

// With no argument every part is measured; "growth" measures only the cost
// of a line with long logs already read (10,000, 100,000 and 1,000,000
// lines, or the counts that follow it).
int main(int argc, char** argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    const bool only_growth = argc > 1 && std::string(argv[1]) == "growth";
    if (argc > 1 && std::string(argv[1]) == "landing") {
        measure_landing();
        return 0;
    }
    if (!only_growth) {
        // Before any thread: a private network is entered once per process.
        measure_landing();
        measure_latency_and_idle();
    }
    std::vector<std::size_t> sizes = {10000, 100000, 1000000};
    if (only_growth && argc > 2) {
        sizes.clear();
        for (int i = 2; i < argc; ++i) sizes.push_back(std::stoul(argv[i]));
    }
    for (const std::size_t size : sizes) measure_growth(size);
    return 0;
}
