// zarim-share measured where it is used, against a local Mosquitto broker
// the benchmark starts on a free loopback port.
//
// Steady: one station's log growing by a line every 100 ms (a receiver
// hearing 10 frames a second) for --seconds (default 60): zarim-share's CPU
// time and peak resident memory, and the time from a line's write to its
// arrival at a subscriber of the broker.
//
// Outage: the broker is stopped while --backlog lines (default 6,000: ten
// minutes at 10 a second, written at once rather than waited for) reach
// the log, then started again: how long until a subscriber (a persistent
// session, as a map keeps) has every line, from the broker's start and from
// the backlog's first line, and zarim-share's CPU time and memory for it.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "share_protocol.h"
#include "support/mqtt_broker.h"
#include "terminal_child.h"

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

std::string log_line(int counter)
{
    const int seconds = 36000 + counter / 10;
    char text[128];
    std::snprintf(text, sizeof text, " %d ,%02d:%02d:%02d,-23.55052 ,-46.63331 , %d , 50.004 , 9 ,-10 , 4.02 , 6 \r\n",
                  counter, seconds / 3600 % 24, seconds / 60 % 60, seconds % 60, 760 + counter % 30000);
    return text;
}

// As the receiver appends: open, write the line, close.
void append_line(const std::string& path, const std::string& line)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    [[maybe_unused]] const ssize_t written = ::write(fd, line.data(), line.size());
    ::close(fd);
}

struct share_child {
    pid_t pid = -1;
    std::string output;
};

bool start_share(share_child& share, const std::string& broker_url, const std::string& logs,
                 const std::string& state_home)
{
    share.output = state_home + "/output.txt";
    share.pid = ::fork();
    if (share.pid == 0) {
        ::setenv("XDG_STATE_HOME", state_home.c_str(), 1);
        const int out = ::open(share.output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out, 1);
        ::dup2(out, 2);
        ::execl(ZARIM_SHARE_PATH, ZARIM_SHARE_PATH, "--broker", broker_url.c_str(), "--flight", "bench",
                "--station-name", "station1", logs.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    return share.pid > 0;
}

std::string said(const share_child& share)
{
    std::ifstream in(share.output, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void stop_share(share_child& share)
{
    if (share.pid <= 0) return;
    ::kill(share.pid, SIGTERM);
    int status = 0;
    ::waitpid(share.pid, &status, 0);
    share.pid = -1;
}

// Line number -> when it first arrived.
std::vector<clock_type::time_point> arrivals(const std::vector<received_message>& messages, std::size_t count)
{
    std::vector<clock_type::time_point> at(count + 1);
    for (const received_message& m : messages) {
        share_message message;
        std::string problem;
        if (!read_share_message("bench", m.topic, m.payload, message, problem)) continue;
        const auto* line = std::get_if<shared_line>(&message);
        if (line == nullptr || line->number > count) continue;
        if (at[line->number] == clock_type::time_point{}) at[line->number] = m.at;
    }
    return at;
}

// Whether every line 1 to `count` has arrived; reads only what is new
// since its last look, so that the subscriber's thread never waits long.
class arrival_count {
public:
    explicit arrival_count(std::size_t count) : count_(count) {}
    bool operator()(const std::vector<received_message>& all)
    {
        for (; looked_ < all.size(); ++looked_) {
            share_message message;
            std::string problem;
            if (!read_share_message("bench", all[looked_].topic, all[looked_].payload, message, problem)) continue;
            const auto* line = std::get_if<shared_line>(&message);
            if (line != nullptr && line->number <= count_) seen_.insert(line->number);
        }
        return seen_.size() == count_;
    }

private:
    std::size_t count_;
    std::size_t looked_ = 0;
    std::set<std::uint64_t> seen_;
};

std::size_t arrived(const std::vector<received_message>& messages, std::size_t count)
{
    const std::vector<clock_type::time_point> at = arrivals(messages, count);
    return static_cast<std::size_t>(
        std::count_if(at.begin() + 1, at.end(), [](clock_type::time_point t) { return t != clock_type::time_point{}; }));
}

double quantile(std::vector<double> values, double q)
{
    if (values.empty()) return NAN;
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(std::lround(q * static_cast<double>(values.size() - 1)))];
}

double seconds_between(clock_type::time_point from, clock_type::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

bool wait_connected(const share_child& share)
{
    const auto deadline = clock_type::now() + 20s;
    while (clock_type::now() < deadline) {
        if (said(share).find("connected to the broker") != std::string::npos) return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

void steady(int seconds)
{
    std::printf("== steady: a line every 100 ms for %d s, zarim-share -> local Mosquitto -> one subscriber\n", seconds);
    test_broker broker;
    std::string problem;
    if (!broker.start(problem)) {
        std::printf("  skipped: %s\n", problem.c_str());
        return;
    }
    test_client watcher;
    if (!watcher.connect(broker.port(), {lines_filter("bench")}, problem)) {
        std::printf("  skipped: %s\n", problem.c_str());
        return;
    }
    const std::string logs = scratch_directory("share-bench-logs");
    const std::string log = logs + "/QLT_20261208.txt";
    append_line(log, log_line(1));
    share_child share;
    if (!start_share(share, broker.url(), logs, scratch_directory("share-bench-state")) || !wait_connected(share)) {
        std::printf("  skipped: zarim-share did not connect: %s\n", said(share).c_str());
        stop_share(share);
        return;
    }
    watcher.wait_for([](const std::vector<received_message>& all) { return !all.empty(); }, 10s);

    const int count = seconds * 10;
    std::vector<clock_type::time_point> written(static_cast<std::size_t>(count) + 2);
    const cpu_time before = child_cpu_time(share.pid);
    const auto start = clock_type::now();
    for (int i = 2; i <= count + 1; ++i) {
        std::this_thread::sleep_until(start + (i - 1) * 100ms);
        written[static_cast<std::size_t>(i)] = clock_type::now();
        append_line(log, log_line(i));
    }
    const std::size_t total = static_cast<std::size_t>(count) + 1;
    watcher.wait_for(arrival_count(total), 30s);
    const double elapsed = seconds_between(start, clock_type::now());
    const cpu_time after = child_cpu_time(share.pid);
    const long peak = peak_resident_kib(share.pid);

    const std::vector<clock_type::time_point> at = arrivals(watcher.messages(), total);
    std::vector<double> latency;
    for (std::size_t i = 2; i <= total; ++i) {
        if (at[i] != clock_type::time_point{}) latency.push_back(seconds_between(written[i], at[i]) * 1000);
    }
    const double cpu = after.user + after.system - before.user - before.system;
    std::printf("  lines arrived %zu of %d\n", latency.size(), count);
    std::printf("  zarim-share CPU time %.3f s user, %.3f s system over %.1f s: %.2f%% of one core, %.0f us a line\n",
                after.user - before.user, after.system - before.system, elapsed, 100 * cpu / elapsed,
                1e6 * cpu / count);
    std::printf("  zarim-share peak resident memory %ld KiB\n", peak);
    std::printf("  write to arrival: median %.2f ms, 95th percentile %.2f ms, worst %.2f ms\n", quantile(latency, 0.5),
                quantile(latency, 0.95), quantile(latency, 1));
    stop_share(share);
}

void outage(int backlog)
{
    std::printf("== outage: %d lines written while the broker is down, then the broker back\n", backlog);
    broker_setup setup;
    setup.persistence = true;
    test_broker broker(setup);
    std::string problem;
    if (!broker.start(problem)) {
        std::printf("  skipped: %s\n", problem.c_str());
        return;
    }
    test_client watcher(client_setup{"bench-watcher", "", "", ""});
    if (!watcher.connect(broker.port(), {lines_filter("bench")}, problem)) {
        std::printf("  skipped: %s\n", problem.c_str());
        return;
    }
    const std::string logs = scratch_directory("share-bench-logs");
    const std::string log = logs + "/QLT_20261208.txt";
    constexpr int before_outage = 10;
    for (int i = 1; i <= before_outage; ++i) append_line(log, log_line(i));
    share_child share;
    if (!start_share(share, broker.url(), logs, scratch_directory("share-bench-state")) || !wait_connected(share)) {
        std::printf("  skipped: zarim-share did not connect: %s\n", said(share).c_str());
        stop_share(share);
        return;
    }
    watcher.wait_for(arrival_count(before_outage), 10s);

    broker.stop();
    std::string lines;
    for (int i = before_outage + 1; i <= before_outage + backlog; ++i) lines += log_line(i);
    append_line(log, lines);
    std::this_thread::sleep_for(2s);  // the follower reads up to its bound meanwhile
    const long peak_down = peak_resident_kib(share.pid);
    const cpu_time before = child_cpu_time(share.pid);
    const auto restarted = clock_type::now();
    if (!broker.start(problem)) {
        std::printf("  skipped: %s\n", problem.c_str());
        stop_share(share);
        return;
    }
    const std::size_t total = static_cast<std::size_t>(before_outage + backlog);
    watcher.wait_for(arrival_count(total), 120s);
    const std::vector<received_message> messages = watcher.messages();
    const std::vector<clock_type::time_point> at = arrivals(messages, total);
    const cpu_time after = child_cpu_time(share.pid);
    const auto last = std::max_element(at.begin() + before_outage + 1, at.end());
    const auto first = std::min_element(at.begin() + before_outage + 1, at.end(), [](auto a, auto b) {
        return a != clock_type::time_point{} && (b == clock_type::time_point{} || a < b);
    });
    std::printf("  lines arrived %zu of %zu (%zu messages, repeats included)\n", arrived(messages, total), total,
                messages.size());
    std::printf("  broker start to the backlog's first line %.2f s (the reconnection's pause)\n",
                seconds_between(restarted, *first));
    std::printf("  backlog's first line to its last %.3f s (%.0f lines a second)\n", seconds_between(*first, *last),
                backlog / seconds_between(*first, *last));
    std::printf("  broker start to the last line %.2f s\n", seconds_between(restarted, *last));
    std::printf("  zarim-share CPU time for it %.3f s; peak resident memory %ld KiB while the broker was down, %ld KiB after\n",
                after.user + after.system - before.user - before.system, peak_down, peak_resident_kib(share.pid));
    stop_share(share);
}

}  // namespace

int main(int argc, char** argv)
{
    int seconds = 60;
    int backlog = 6000;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::max(1, std::atoi(argv[i + 1]));
        if (std::strcmp(argv[i], "--backlog") == 0) backlog = std::max(1, std::atoi(argv[i + 1]));
    }
    std::signal(SIGPIPE, SIG_IGN);
    steady(seconds);
    outage(backlog);
    return 0;
}
