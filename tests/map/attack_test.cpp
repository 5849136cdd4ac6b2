// The attacks a server opened to a shared network meets, each made from
// loopback against the built zarim-map, with what each cost it: resident
// memory before, at its peak and after, and how long a normal GET / and a
// new line's event took while the attack ran. Every attack must be held
// (the server answers as it should and keeps serving); the figures are
// printed as a table, not asserted. The sizes are cut down for make test;
// ZARIM_ATTACKS=full runs them at the sizes the issue measured:
//   ZARIM_ATTACKS=full build/tests/map/test_map --gtest_filter='attacks.*'
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "map/http_client.h"
#include "map/map_process.h"
#include "map/receiver_log.h"

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

bool full_size()
{
    const char* chosen = std::getenv("ZARIM_ATTACKS");
    return chosen != nullptr && std::string(chosen) == "full";
}

// A size or a time: the in a full run, a small one otherwise.
template <typename T>
T sized(T full, T short_run)
{
    return full_size() ? full : short_run;
}

double ms_since(clock_type::time_point start)
{
    return std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
}

// VmRSS or VmHWM of a process, in MiB.
double resident_mib(pid_t pid, const std::string& field)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0) return std::stod(line.substr(field.size() + 1)) / 1024;
    }
    return 0;
}

// CPU time of all the process's threads so far, in ms.
double cpu_ms(pid_t pid)
{
    double total = 0;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks)) {
        std::ifstream schedstat(task.path() / "schedstat");
        double ns = 0;
        if (schedstat >> ns) total += ns / 1e6;
    }
    return total;
}

// The peak (VmHWM) starts again from the present size.
void reset_peak(pid_t pid)
{
    std::ofstream("/proc/" + std::to_string(pid) + "/clear_refs") << "5";
}

int connect_to(std::uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Whether the server has ended the connection (without waiting).
bool ended_by_server(int fd)
{
    char bytes[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, bytes, sizeof bytes, MSG_DONTWAIT);
        if (n == 0) return true;
        if (n < 0) return errno != EAGAIN && errno != EWOULDBLOCK;
    }
}

std::string kib(std::size_t bytes)
{
    return std::to_string(bytes >> 10) + " KiB";
}

struct verdict {
    bool held = false;
    std::string outcome;
};

struct report {
    std::string name;
    verdict result;
    double before = 0, peak = 0, after = 0;
    std::vector<double> pages;  // GET / while it ran, ms
    int pages_failed = 0;
    std::vector<double> events;  // a line's event while it ran, ms
    int events_missed = 0;
};

// zarim-map following a log in a scratch directory, and a page's event
// stream on it.
struct target {
    std::string directory;
    std::string log;
    map_process map;
    simulated_receiver receiver;
    event_stream stream;

    explicit target(std::size_t lines_before = 0) : directory(make_scratch_directory())
    {
        log = directory + "/QLT_20261208.txt";
        std::string bytes;
        for (std::size_t i = 0; i < lines_before; ++i) bytes += receiver.next_line();
        if (!bytes.empty()) append_to(log, bytes);
    }

    ~target()
    {
        stop_map(map);
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }
    target(const target&) = delete;
    target& operator=(const target&) = delete;

    void start()
    {
        start_map(map, {"--listen", "127.0.0.1:0", "--tiles", "http://127.0.0.1:1/{z}/{x}/{y}.png", directory});
        open_stream();
    }

    void open_stream()
    {
        for (int i = 0; i < 50 && stream.open(map.port, "/events") != 200; ++i) std::this_thread::sleep_for(100ms);
    }

    std::string host() const { return "Host: 127.0.0.1:" + std::to_string(map.port) + "\r\n"; }
};

// A new line's event and a normal page, over and over while an attack runs.
class measurer {
public:
    measurer(target& t, report& r) : target_(t), report_(r), thread_([this] { run(); }) {}
    ~measurer()
    {
        stop_ = true;
        thread_.join();
    }
    measurer(const measurer&) = delete;
    measurer& operator=(const measurer&) = delete;

private:
    void run()
    {
        while (!stop_) {
            const std::string line = target_.receiver.next_line();
            const int counter = std::stoi(line);
            const auto written = clock_type::now();
            append_to(target_.log, line);
            bool seen = false;
            while (!seen && clock_type::now() - written < 5s && !target_.stream.ended()) {
                for (const sse_event& e : target_.stream.read(100, 1)) {
                    seen = seen || (e.event == "frame" && nlohmann::json::parse(e.data)["counter"] == counter);
                }
            }
            if (seen) {
                report_.events.push_back(ms_since(written));
            } else {
                ++report_.events_missed;
                if (target_.stream.ended()) target_.open_stream();
            }
            const auto asked = clock_type::now();
            if (http_get(target_.map.port, "/").status == 200) {
                report_.pages.push_back(ms_since(asked));
            } else {
                ++report_.pages_failed;
            }
            std::this_thread::sleep_for(200ms);
        }
    }

    target& target_;
    report& report_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

report run_attack(target& t, const std::string& name, const std::function<verdict(target&)>& attack)
{
    report r;
    r.name = name;
    reset_peak(t.map.pid);
    r.before = resident_mib(t.map.pid, "VmRSS");
    {
        const measurer watching(t, r);
        r.result = attack(t);
        std::this_thread::sleep_for(300ms);  // a measurement after it, too
    }
    r.peak = resident_mib(t.map.pid, "VmHWM");
    std::this_thread::sleep_for(2200ms);  // the server tidies every 2 s
    r.after = resident_mib(t.map.pid, "VmRSS");
    return r;
}

// ---- the attacks --------------------------------------------------------

// The start of a request, then `piece` again and again, `bytes` in all or
// as much as the server takes.
verdict unwanted_bytes(target& t, const std::string& head, const std::string& piece, std::size_t body_bytes)
{
    const int fd = connect_to(t.map.port);
    const timeval limit{2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    std::size_t sent = 0;
    bool refused = ::send(fd, head.data(), head.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(head.size());
    while (!refused && sent < body_bytes) {
        const ssize_t n = ::send(fd, piece.data(), piece.size(), MSG_NOSIGNAL);
        refused = n <= 0;
        sent += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    std::string answer;
    char bytes[4096];
    pollfd p{fd, POLLIN, 0};
    while (answer.find("\r\n") == std::string::npos && ::poll(&p, 1, 2000) > 0) {
        const ssize_t n = ::recv(fd, bytes, sizeof bytes, 0);
        if (n <= 0) break;
        answer.append(bytes, static_cast<std::size_t>(n));
    }
    ::close(fd);
    const std::string status = answer.size() >= 12 ? answer.substr(9, 3) : "none";
    return {status == "413" || status == "431",
            status + " after " + kib(sent) + " of " + kib(body_bytes) + " sent, then the connection ended"};
}

verdict huge_length_get(target& t)
{
    const std::size_t size = sized<std::size_t>(1000, 64) << 20;
    return unwanted_bytes(t, "GET / HTTP/1.1\r\n" + t.host() + "Content-Length: " + std::to_string(size) + "\r\n\r\n",
                          std::string(std::size_t{1} << 20, 'x'), size);
}

verdict chunked_post(target& t)
{
    return unwanted_bytes(t, "POST / HTTP/1.1\r\n" + t.host() + "Transfer-Encoding: chunked\r\n\r\n",
                          "100000\r\n" + std::string(std::size_t{1} << 20, 'x') + "\r\n", sized<std::size_t>(200, 32) << 20);
}

verdict header_flood(target& t)
{
    const std::size_t lines = sized<std::size_t>(3000000, 300000);
    std::string fields;
    for (std::size_t i = 0; i < 4096; ++i) fields += "X-Field: value\r\n";
    const verdict v = unwanted_bytes(t, "GET / HTTP/1.1\r\n" + t.host(), fields, lines * 16);
    return {v.held, std::to_string(lines) + " lines of 16 bytes: " + v.outcome};
}

verdict range_amplification(target& t)
{
    std::string ranges = "Range: bytes=0-";
    for (int i = 0; i < 1000; ++i) ranges += ",0-";
    std::vector<http_response> answers(3);
    std::vector<std::thread> clients;
    for (http_response& answer : answers) {
        clients.emplace_back([&] { answer = http_get(t.map.port, "/leaflet/leaflet.js", ranges + "\r\n"); });
    }
    for (std::thread& c : clients) c.join();
    const std::string file = read_file("/usr/share/javascript/leaflet/leaflet.js");
    const bool whole = std::all_of(answers.begin(), answers.end(),
                                   [&](const http_response& a) { return a.status == 200 && a.body == file; });
    return {whole, "3 requests of 1,000 ranges: " + std::to_string(answers[0].status) + ", " +
                       kib(answers[0].body.size()) + " each, the file once"};
}

// Connections that send one byte of a head that never ends, each so often;
// one the server ends is opened again at once.
verdict slowloris(target& t, std::size_t count)
{
    const auto interval = sized(2000ms, 200ms);
    const auto length = sized(30s, 3s);
    std::vector<int> connections(count, -1);
    std::size_t ended = 0;
    const auto start = clock_type::now();
    while (clock_type::now() - start < length) {
        for (int& fd : connections) {
            if (fd >= 0 && ended_by_server(fd)) {
                ::close(fd);
                fd = -1;
                ++ended;
            }
            if (fd < 0) {
                fd = connect_to(t.map.port);
                if (fd >= 0) ::send(fd, "GET / HTTP/1.1\r\nX-Slow: ", 24, MSG_NOSIGNAL);
            } else {
                ::send(fd, "a", 1, MSG_NOSIGNAL);
            }
        }
        std::this_thread::sleep_for(interval);
    }
    for (const int fd : connections) {
        if (fd >= 0) ::close(fd);
    }
    return {true, std::to_string(count) + " trickling, a byte each per " +
                      std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(interval).count()) +
                      " ms; " + std::to_string(ended) + " ended by the server and opened again"};
}

verdict keep_alive_pollers(target& t)
{
    const auto interval = sized(4000ms, 500ms);
    const auto length = sized(20s, 3s);
    std::vector<int> pollers;
    for (int i = 0; i < 48; ++i) pollers.push_back(connect_to(t.map.port));
    const std::string request = "GET /status.json HTTP/1.1\r\n" + t.host() + "\r\n";
    std::size_t answered = 0;
    std::size_t asked = 0;
    const auto start = clock_type::now();
    while (clock_type::now() - start < length) {
        for (int& fd : pollers) {
            if (fd < 0 || ended_by_server(fd)) {
                if (fd >= 0) ::close(fd);
                fd = connect_to(t.map.port);
            }
            ++asked;
            ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        }
        for (const int fd : pollers) {
            std::string raw;
            char bytes[65536];
            pollfd p{fd, POLLIN, 0};
            while (raw.find("\r\n\r\n") == std::string::npos && ::poll(&p, 1, 5000) > 0) {
                const ssize_t n = ::recv(fd, bytes, sizeof bytes, 0);
                if (n <= 0) break;
                raw.append(bytes, static_cast<std::size_t>(n));
            }
            if (raw.rfind("HTTP/1.1 200", 0) == 0) ++answered;
        }
        std::this_thread::sleep_for(interval);
    }
    for (const int fd : pollers) ::close(fd);
    return {answered == asked, "48 kept-alive connections: " + std::to_string(answered) + " of " +
                                   std::to_string(asked) + " polls answered"};
}

verdict stream_hogs(target& t)
{
    std::vector<std::unique_ptr<event_stream>> streams;
    int admitted = 0;
    int refused = 0;
    for (int i = 0; i < 100; ++i) {
        streams.push_back(std::make_unique<event_stream>());
        const int status = streams.back()->open(t.map.port, "/events");
        admitted += status == 200 ? 1 : 0;
        refused += status == 503 ? 1 : 0;
    }
    std::this_thread::sleep_for(sized(10s, 2s));  // all kept open
    return {admitted + refused == 100, std::to_string(admitted) + " streams admitted, " + std::to_string(refused) +
                                           " refused (503) and kept open"};
}

verdict pipelined(target& t)
{
    std::string requests;
    for (int i = 0; i < 10; ++i) {
        requests += std::string("GET ") + (i % 2 == 0 ? "/map.css" : "/config.json") + " HTTP/1.1\r\n" + t.host() +
                    (i == 9 ? "Connection: close\r\n" : "") + "\r\n";
    }
    const raw_exchange exchange = raw_requests(t.map.port, requests, 10);
    bool in_order = exchange.responses.size() == 10;
    for (std::size_t i = 0; in_order && i < 10; ++i) {
        in_order = exchange.responses[i].status == 200 &&
                   exchange.responses[i].header("Content-Type").find(i % 2 == 0 ? "css" : "json") != std::string::npos;
    }
    return {in_order, std::to_string(exchange.responses.size()) + " of 10 requests in one write answered" +
                          (in_order ? ", in order" : "")};
}

verdict second_map(target& t)
{
    const finished_run second =
        run_map_program({"--listen", "127.0.0.1:" + std::to_string(t.map.port), make_scratch_directory()});
    const bool refused = second.status == 1 && second.err.find("in use") != std::string::npos;
    return {refused, "the second exits " + std::to_string(second.status) + (refused ? ": port in use" : "")};
}

verdict rebinding(target& t)
{
    const std::string port = std::to_string(t.map.port);
    const int config = http_get(t.map.port, "/config.json", "Host: attacker.example:" + port + "\r\n").status;
    const int status = http_get(t.map.port, "/status.json", "Host: attacker.example:" + port + "\r\n").status;
    const int origin = http_get(t.map.port, "/status.json", "Origin: http://attacker.example:" + port + "\r\n").status;
    return {config == 421 && status == 421 && origin == 403,
            "rebound Host: " + std::to_string(config) + ", " + std::to_string(status) + "; other Origin: " +
                std::to_string(origin)};
}

verdict live_kml_host(target& t)
{
    const std::string port = std::to_string(t.map.port);
    const int claimed = http_get(t.map.port, "/live.kml", "Host: attacker.example:" + port + "\r\n").status;
    const http_response own = http_get(t.map.port, "/live.kml", "Host: localhost:" + port + "\r\n");
    const bool linked = own.body.find("<href>http://localhost:" + port + "/track.kml</href>") != std::string::npos;
    return {claimed == 421 && linked, "claimed Host: " + std::to_string(claimed) + "; localhost links to itself"};
}

verdict reload_storm(target& t)
{
    std::vector<std::thread> pages;
    std::atomic<int> loaded{0};
    std::atomic<std::size_t> bytes{0};
    const double cpu_before = cpu_ms(t.map.pid);
    for (int i = 0; i < 30; ++i) {
        pages.emplace_back([&] {
            const http_response track = http_get(t.map.port, "/track.geojson");
            if (track.status == 200) ++loaded;
            bytes = track.body.size();
        });
    }
    for (std::thread& p : pages) p.join();
    const long cpu = std::lround(cpu_ms(t.map.pid) - cpu_before);
    return {loaded == 30,
            std::to_string(loaded) + " of 30 loaded, " + kib(bytes) + " each, " + std::to_string(cpu) + " ms of CPU"};
}

std::string median_and_worst(std::vector<double> values, int failed)
{
    if (values.empty()) return "none (" + std::to_string(failed) + " failed)";
    std::sort(values.begin(), values.end());
    char text[96];
    std::snprintf(text, sizeof text, "%.0f / %.0f", values[values.size() / 2], values.back());
    std::string out = text;
    if (failed > 0) out += " (" + std::to_string(failed) + " failed)";
    return out;
}

void print_table(const std::vector<report>& reports)
{
    std::printf("\n| attack (%s sizes) | outcome | RSS before / peak / after, MiB | GET / ms, median / worst | "
                "event ms, median / worst |\n| --- | --- | --- | --- | --- |\n",
                full_size() ? "full" : "short");
    for (const report& r : reports) {
        std::printf("| %s | %s | %.1f / %.1f / %.1f | %s | %s |\n", r.name.c_str(), r.result.outcome.c_str(), r.before,
                    r.peak, r.after, median_and_worst(r.pages, r.pages_failed).c_str(),
                    median_and_worst(r.events, r.events_missed).c_str());
    }
    std::fflush(stdout);
}

class attacks : public testing::Test {
protected:
    void SetUp() override
    {
        // A thousand connections need more descriptors than a shell's 1,024.
        rlimit files{};
        if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
            files.rlim_cur = std::min<rlim_t>(files.rlim_max, 8192);
            ::setrlimit(RLIMIT_NOFILE, &files);
        }
    }

    void expect_held(const std::vector<report>& reports)
    {
        print_table(reports);
        for (const report& r : reports) {
            EXPECT_TRUE(r.result.held) << r.name << ": " << r.result.outcome;
            EXPECT_EQ(r.pages_failed, 0) << r.name << ": a normal page failed while it ran";
        }
    }
};

}  // namespace

TEST_F(attacks, every_attack_is_held_and_the_page_still_loads)
{
    target t;
    ASSERT_NO_FATAL_FAILURE(t.start());
    const std::vector<std::pair<std::string, std::function<verdict(target&)>>> all = {
        {"GET with a huge Content-Length body", huge_length_get},
        {"chunked POST", chunked_post},
        {"three million header lines", header_flood},
        {"1,000 ranges on leaflet.js, 3 at once", range_amplification},
        {"slowloris, 48 connections", [](target& x) { return slowloris(x, 48); }},
        {"slowloris, 1,000 connections", [](target& x) { return slowloris(x, 1000); }},
        {"48 keep-alive pollers", keep_alive_pollers},
        {"100 event-stream clients that stay", stream_hogs},
        {"pipelined requests", pipelined},
        {"two maps on one port", second_map},
        {"Host rebinding", rebinding},
        {"/live.kml Host copy", live_kml_host},
    };
    std::vector<report> reports;
    for (const auto& [name, attack] : all) reports.push_back(run_attack(t, name, attack));
    expect_held(reports);
    EXPECT_EQ(stop_map(t.map), 0);
}

// What the pages do after a reset, on a day's log; the flight's events
// must not wait behind the documents (a goal for the documents' cache).
TEST_F(attacks, a_reload_storm_is_answered)
{
    target t(sized<std::size_t>(100000, 10000));
    const std::size_t lines = sized<std::size_t>(100000, 10000);
    ASSERT_NO_FATAL_FAILURE(t.start());
    // The log read whole before the storm.
    for (int i = 0; i < 600 && nlohmann::json::parse(http_get(t.map.port, "/status.json").body)["frames"] < lines; ++i)
        std::this_thread::sleep_for(100ms);
    const std::string name = "30 /track.geojson at once, " + std::to_string(lines) + "-line log";
    expect_held({run_attack(t, name, reload_storm)});
    EXPECT_EQ(stop_map(t.map), 0);
}

// A new line's cost with many old logs in the folder: the folder is
// listed once, so a line costs what it costs with none.
TEST_F(attacks, old_logs_in_the_folder_cost_nothing_per_line)
{
    constexpr int lines = 300;
    for (const std::size_t old : {std::size_t{0}, sized<std::size_t>(10000, 1000)}) {
        target t;
        for (std::size_t i = 0; i < old; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "/QLT_1%07zu.txt", i);  // days long past
            append_to(t.directory + name, "1,12:00:00\r\n");
        }
        ASSERT_NO_FATAL_FAILURE(t.start());
        const double before = cpu_ms(t.map.pid);
        for (int i = 0; i < lines; ++i) {
            const std::string line = t.receiver.next_line();
            append_to(t.log, line);
            std::size_t seen = 0;
            for (int wait = 0; wait < 50 && seen == 0; ++wait) {
                for (const sse_event& e : t.stream.read(100, 1)) seen += e.event == "frame" ? 1 : 0;
            }
            ASSERT_EQ(seen, 1U) << "line " << i;
        }
        const double per_line = (cpu_ms(t.map.pid) - before) / lines;
        std::printf("%zu old logs in the folder: %.3f ms of CPU per line\n", old, per_line);
        EXPECT_EQ(nlohmann::json::parse(http_get(t.map.port, "/status.json").body)["following"], t.log);
        EXPECT_EQ(stop_map(t.map), 0);
    }
}
