// Many stations to one map through a local Mosquitto broker the benchmark
// starts: --stations (default 50) zarim-share programs, each following a
// log that grows by a line every 100 ms (a receiver hearing ten frames a
// second) for --seconds (default 60), and one zarim-map subscribed.
//
// Lag: from a line's write to a station's log to its frame event on the
// map's /events stream (median, 99th percentile, worst). Each line is a
// frame of its own, later than every line written before it, so that each
// can have an event; a line that reaches the map after a later one is
// placed behind the latest and shown by a reload of the track instead,
// and is counted as such. CPU time and peak memory of the map and of one
// zarim-share over the run.
//
// Outage: the broker is stopped while --backlog lines (default 6,000: ten
// minutes at ten a second) reach every station's log, then started again
// (it keeps sessions, as packaging/mosquitto-zarim.conf does): how long
// until the map has taken every line.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "map/http_client.h"
#include "support/mqtt_broker.h"

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

// Line `g` of the whole run: counter and time both grow with it, one
// second of the log per line, so that no two stations' lines are the same
// frame and each is later than the one before.
std::string log_line(int g)
{
    const int seconds = 3600 + g;
    char text[128];
    std::snprintf(text, sizeof text, " %d ,%02d:%02d:%02d,-23.55052 ,-46.63331 , %d , 50.004 , 9 ,-10 , 4.02 , 6 \r\n",
                  g % 32768, seconds / 3600 % 24, seconds / 60 % 60, seconds % 60, 760 + g % 30000);
    return text;
}

void append(const std::string& path, const std::string& text)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    [[maybe_unused]] const ssize_t written = ::write(fd, text.data(), text.size());
    ::close(fd);
}

std::string file_text(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

pid_t spawn(const std::vector<std::string>& arguments, const std::string& output, const std::string& state_home)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("XDG_STATE_HOME", state_home.c_str(), 1);
        const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out, 1);
        ::dup2(out, 2);
        std::vector<char*> argv;
        std::vector<std::string> copy = arguments;
        for (std::string& a : copy) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

void end(pid_t pid)
{
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
}

struct usage {
    double cpu_seconds = 0;
    long peak_kib = 0;
};

usage usage_of(pid_t pid)
{
    usage u;
    const std::string stat = file_text("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t close = stat.rfind(')');
    if (close != std::string::npos) {
        std::vector<std::string> fields;
        std::size_t at = close + 2;
        while (at < stat.size()) {
            const std::size_t space = stat.find(' ', at);
            fields.push_back(stat.substr(at, space - at));
            if (space == std::string::npos) break;
            at = space + 1;
        }
        // utime and stime are the 14th and 15th fields, the 12th and 13th after the name.
        if (fields.size() > 12) {
            u.cpu_seconds = static_cast<double>(std::stoll(fields[11]) + std::stoll(fields[12])) /
                            static_cast<double>(::sysconf(_SC_CLK_TCK));
        }
    }
    const std::string status = file_text("/proc/" + std::to_string(pid) + "/status");
    const std::size_t hwm = status.find("VmHWM:");
    if (hwm != std::string::npos) u.peak_kib = std::atol(status.c_str() + hwm + 6);
    return u;
}

double quantile(std::vector<double> values, double q)
{
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(q * static_cast<double>(values.size() - 1))];
}

std::uint64_t lines_taken(std::uint16_t port)
{
    const http_response r = http_get(port, "/status.json");
    if (r.status != 200) return 0;
    const nlohmann::json status = nlohmann::json::parse(r.body, nullptr, false);
    if (status.is_discarded() || !status.contains("sharing")) return 0;
    std::uint64_t lines = 0;
    for (const nlohmann::json& station : status["sharing"]["stations"]) lines += station["lines"].get<std::uint64_t>();
    return lines;
}

}  // namespace

int main(int argc, char** argv)
{
    int stations = 50;
    int seconds = 60;
    int backlog = 6000;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--stations") == 0) stations = std::max(1, std::atoi(argv[i + 1]));
        if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::max(1, std::atoi(argv[i + 1]));
        if (std::strcmp(argv[i], "--backlog") == 0) backlog = std::max(1, std::atoi(argv[i + 1]));
    }
    std::signal(SIGPIPE, SIG_IGN);
    broker_setup setup;
    setup.persistence = true;
    test_broker broker(setup);
    std::string problem;
    if (!broker.start(problem)) {
        std::fprintf(stderr, "map_fanin_bench: %s\n", problem.c_str());
        return 1;
    }
    const std::string base = scratch_directory("map-fanin-bench");
    std::vector<std::string> logs;
    std::vector<pid_t> shares;
    for (int s = 0; s < stations; ++s) {
        const std::string directory = base + "/s" + std::to_string(s);
        ::mkdir(directory.c_str(), 0755);
        logs.push_back(directory + "/QLT_20261210.txt");
        append(logs.back(), "");
        shares.push_back(spawn({ZARIM_SHARE_PATH, "--broker", broker.url(), "--flight", "bench", "--station-name",
                                "s" + std::to_string(s), logs.back()},
                               directory + "/output.txt", directory));
    }
    const pid_t map = spawn({ZARIM_MAP_PATH, "--listen", "127.0.0.1:0", "--broker", broker.url(), "--flight", "bench"},
                            base + "/map.txt", base);
    std::uint16_t port = 0;
    const std::string marker = "serving the live map at http://127.0.0.1:";
    for (int i = 0; i < 100 && port == 0; ++i) {
        const std::string said = file_text(base + "/map.txt");
        if (const std::size_t at = said.find(marker); at != std::string::npos) {
            port = static_cast<std::uint16_t>(std::atoi(said.c_str() + at + marker.size()));
        }
        std::this_thread::sleep_for(50ms);
    }
    if (port == 0) {
        std::fprintf(stderr, "map_fanin_bench: zarim-map did not start: %s\n", file_text(base + "/map.txt").c_str());
        return 1;
    }
    std::this_thread::sleep_for(2s);  // every station connected, the map subscribed

    // Steady: line g goes to station g % stations, every 100 ms for each.
    event_stream events;
    events.open(port, "/events");
    std::vector<clock_type::time_point> written;
    std::map<int, clock_type::time_point> shown;
    const int total = std::min(stations * 10 * seconds, 32000);
    const auto interval = std::chrono::microseconds(100000 / stations);
    const usage map_before = usage_of(map);
    const usage share_before = usage_of(shares[0]);
    const auto start = clock_type::now();
    std::thread reader([&] {
        while (clock_type::now() - start < std::chrono::seconds(seconds + 5)) {
            for (const sse_event& e : events.read(200, 1)) {
                if (e.event != "frame") continue;
                const nlohmann::json frame = nlohmann::json::parse(e.data, nullptr, false);
                if (!frame.is_discarded()) shown.emplace(frame["counter"].get<int>(), clock_type::now());
            }
        }
    });
    for (int g = 0; g < total; ++g) {
        std::this_thread::sleep_until(start + interval * g);
        written.push_back(clock_type::now());
        append(logs[static_cast<std::size_t>(g % stations)], log_line(g));
    }
    reader.join();
    const usage map_after = usage_of(map);
    const usage share_after = usage_of(shares[0]);
    std::vector<double> lags;
    for (const auto& [counter, at] : shown) {
        if (counter < total) lags.push_back(std::chrono::duration<double, std::milli>(at - written[static_cast<std::size_t>(counter)]).count());
    }
    const double run = std::chrono::duration<double>(clock_type::now() - start).count();
    std::printf("steady: %d stations x 10 lines/s, %d lines in %.0f s\n", stations, total, run);
    std::printf("  line written -> frame event: median %.1f ms, p99 %.1f ms, worst %.1f ms; %zu of %d lines as their own "
                "event (the rest behind a later line: a track reload)\n",
                quantile(lags, 0.5), quantile(lags, 0.99), quantile(lags, 1), lags.size(), total);
    std::printf("  zarim-map: %.2f s CPU (%.1f%% of a core), peak %ld KiB\n",
                map_after.cpu_seconds - map_before.cpu_seconds,
                100 * (map_after.cpu_seconds - map_before.cpu_seconds) / run, map_after.peak_kib);
    std::printf("  one zarim-share: %.2f s CPU (%.1f%% of a core), peak %ld KiB\n",
                share_after.cpu_seconds - share_before.cpu_seconds,
                100 * (share_after.cpu_seconds - share_before.cpu_seconds) / run, share_after.peak_kib);
    for (int i = 0; i < 300 && lines_taken(port) < static_cast<std::uint64_t>(total); ++i) std::this_thread::sleep_for(100ms);

    // Outage: every station's backlog written while the broker is down.
    broker.stop();
    for (int s = 0; s < stations; ++s) {
        std::string text;
        for (int i = 0; i < backlog; ++i) text += log_line(total + s * backlog + i);
        append(logs[static_cast<std::size_t>(s)], text);
    }
    std::this_thread::sleep_for(1s);
    const usage map_down = usage_of(map);
    if (!broker.start(problem)) {
        std::fprintf(stderr, "map_fanin_bench: %s\n", problem.c_str());
        return 1;
    }
    const auto restarted = clock_type::now();
    const std::uint64_t everything = static_cast<std::uint64_t>(total) + static_cast<std::uint64_t>(stations) * backlog;
    std::uint64_t taken = 0;
    while (clock_type::now() - restarted < 600s && (taken = lines_taken(port)) < everything) std::this_thread::sleep_for(100ms);
    const double drained = std::chrono::duration<double>(clock_type::now() - restarted).count();
    const usage map_up = usage_of(map);
    std::printf("outage: %d lines per station (%llu in all) written while the broker was down\n", backlog,
                static_cast<unsigned long long>(everything - total));
    std::printf("  broker started again -> the map has every line: %.1f s (%llu of %llu taken)\n", drained,
                static_cast<unsigned long long>(taken), static_cast<unsigned long long>(everything));
    std::printf("  zarim-map: %.2f s CPU, peak %ld KiB\n", map_up.cpu_seconds - map_down.cpu_seconds, map_up.peak_kib);
    const http_response status = http_get(port, "/status.json");
    const nlohmann::json parsed = nlohmann::json::parse(status.body, nullptr, false);
    if (!parsed.is_discarded() && parsed.contains("sharing")) std::printf("  refused: %s\n", parsed["sharing"]["refused"].dump().c_str());

    end(map);
    for (const pid_t share : shares) end(share);
    broker.stop();
    return 0;
}
