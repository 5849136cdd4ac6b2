// The whole receiver at work: valid frames at fixed rates to 127.0.0.1:3000,
// its terminal drained as a fast terminal would drain it, its log in a
// scratch directory. The floor program does only the system calls any
// receiver needs per frame under the same load, so the receiver's CPU time
// per frame is read against it, at the judged rate in several rounds that
// each run the floor and the receiver in turn. Reports CPU time per frame,
// the highest rate without loss, terminal bytes per frame and peak
// resident memory.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "frame_pacing.h"
#include "log_lines.h"
#include "private_network.h"
#include "run_support.h"
#include "terminal_child.h"
#include "udp_sender.h"

namespace {

constexpr int terminal_rows = 24;
constexpr int terminal_columns = 80;
constexpr double cpu_ratio_target = 1.1;
constexpr double terminal_bytes_target = 300;
constexpr long resident_target_kib = 8 * 1024;

struct load_step {
    long rate;  // frames per second
    double seconds;
};

// The first step is the one the targets are judged at.
constexpr load_step load_steps[] = {{10000, 10}, {20000, 5}, {40000, 3}, {80000, 2}};

// The judged step runs this many times by default, floor and receiver in
// turn, so that each ratio comes from two runs side by side and the spread
// shows how far the machine moved meanwhile.
constexpr int default_judged_rounds = 3;

struct run_result {
    bool ran = false;
    long rate = 0;
    std::uint64_t sent = 0;
    std::uint64_t send_failures = 0;
    std::uint64_t logged = 0;
    double send_seconds = 0;
    cpu_time cpu;
    std::uint64_t terminal_bytes = 0;
    long peak_kib = 0;
    bool clean_exit = false;
};

volatile std::sig_atomic_t never_stop = 0;

double monotonic_seconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Frames a few at a time until one is logged: then the program is in its
// loop. Any that were queued meanwhile are given time to be logged too.
bool wait_until_receiving(const udp_sender& sender, log_counter& log, std::uint64_t& baseline)
{
    const std::vector<std::string> texts = flight_texts(100, 10);
    for (const std::string& text : texts) {
        send_datagram(sender, text);
        sleep_ms(100);
        if (count_log_lines(log) > 0) {
            sleep_ms(300);
            baseline = count_log_lines(log);
            return true;
        }
    }
    return false;
}

// After the last frame: until every frame is logged, or the count has stood
// still for half a second.
std::uint64_t wait_for_log(log_counter& log, std::uint64_t expected)
{
    std::uint64_t lines = count_log_lines(log);
    for (int still = 0; lines < expected && still < 5;) {
        sleep_ms(100);
        const std::uint64_t now = count_log_lines(log);
        still = now == lines ? still + 1 : 0;
        lines = now;
    }
    return lines;
}

run_result run_once(const char* program, load_step step, const std::vector<std::string>& texts)
{
    run_result result;
    result.rate = step.rate;
    log_counter log;
    log.directory = make_scratch_directory();
    udp_sender sender;
    std::string problem;
    if (log.directory.empty() || !open_udp_sender("127.0.0.1", 3000, sender, problem)) {
        std::fprintf(stderr, "cannot set up the run: %s\n", problem.empty() ? "mkdtemp failed" : problem.c_str());
        return result;
    }
    terminal_child child;
    if (!start_on_terminal(child, program, log.directory, terminal_rows, terminal_columns, problem)) {
        std::fprintf(stderr, "cannot start %s: %s\n", program, problem.c_str());
        close_udp_sender(sender);
        remove_scratch_directory(log);
        return result;
    }
    std::uint64_t baseline = 0;
    if (!wait_until_receiving(sender, log, baseline)) {
        std::fprintf(stderr, "%s logged none of its first frames\n", program);
        finish_child(child, 0);
        close_udp_sender(sender);
        remove_scratch_directory(log);
        return result;
    }

    const cpu_time cpu_before = child_cpu_time(child.pid);
    const std::uint64_t bytes_before = child.bytes.load();
    const double started = monotonic_seconds();
    frame_pacer pacer;
    start_pacer(pacer, static_cast<long double>(step.rate));
    for (const std::string& text : texts) {
        wait_for_frame(pacer, never_stop);
        if (send_datagram(sender, text) == 0) {
            ++result.sent;
        } else {
            ++result.send_failures;
        }
    }
    result.send_seconds = monotonic_seconds() - started;
    result.logged = wait_for_log(log, baseline + result.sent) - baseline;
    sleep_ms(100);  // the last frames' terminal output
    const cpu_time cpu_after = child_cpu_time(child.pid);
    result.cpu = {cpu_after.user - cpu_before.user, cpu_after.system - cpu_before.system};
    result.terminal_bytes = child.bytes.load() - bytes_before;
    result.peak_kib = peak_resident_kib(child.pid);

    // ESC takes effect when the next datagram has been handled.
    const char escape = 27;
    type_bytes(child, &escape, 1);
    sleep_ms(50);
    send_datagram(sender, texts.front());
    const int status = finish_child(child, 5000);
    result.clean_exit = status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    result.ran = true;
    close_udp_sender(sender);
    remove_scratch_directory(log);
    return result;
}

double cpu_us_per_frame(const run_result& run)
{
    return run.logged == 0 ? 0 : (run.cpu.user + run.cpu.system) * 1e6 / static_cast<double>(run.logged);
}

std::uint64_t lost(const run_result& run)
{
    return run.sent > run.logged ? run.sent - run.logged : 0;
}

void print_run(const char* name, const run_result& run)
{
    const double frames = run.logged == 0 ? 1 : static_cast<double>(run.logged);
    std::printf("%-8s %7ld %8.0f %8llu %8llu %7llu %10.1f %10.2f %5.2f %5.2f %9.1f %7ld  %s\n", name, run.rate,
                static_cast<double>(run.sent) / run.send_seconds, static_cast<unsigned long long>(run.sent),
                static_cast<unsigned long long>(run.logged), static_cast<unsigned long long>(lost(run)),
                static_cast<double>(run.send_failures), cpu_us_per_frame(run), run.cpu.user * 1e6 / frames,
                run.cpu.system * 1e6 / frames, static_cast<double>(run.terminal_bytes) / frames, run.peak_kib,
                run.clean_exit ? "0" : "FAILED");
    std::fflush(stdout);
}

long highest_rate_without_loss(const std::vector<run_result>& runs)
{
    long highest = 0;
    for (const run_result& run : runs) {
        if (run.ran && lost(run) == 0 && run.send_failures == 0 && run.rate > highest) highest = run.rate;
    }
    return highest;
}

}  // namespace

int main(int argc, char** argv)
{
    //   end_to_end_bench [--rounds N] [--judged-only] [receiver]
    // Another build of the receiver can be given, to hold it against the floor
    // in the same way (an earlier commit's, say). More rounds narrow the
    // spread on a machine that moves; --judged-only leaves out the steps
    // above the judged rate.
    const char* receiver = ZARIM_RECEIVER_PATH;
    int judged_rounds = default_judged_rounds;
    bool judged_only = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--rounds" && i + 1 < argc) {
            judged_rounds = std::max(1, std::atoi(argv[++i]));
        } else if (argument == "--judged-only") {
            judged_only = true;
        } else {
            receiver = argv[i];
        }
    }
    const bool private_network = enter_private_network();
    if (!private_network && port_3000_taken()) {
        std::printf("end-to-end benchmark skipped: UDP port 3000 is in use and no private network "
                    "namespace could be had (that needs root)\n");
        return 0;
    }
    std::printf("end-to-end: %s on a %dx%d pseudo-terminal, valid frames to 127.0.0.1:3000 (%s)\n",
                receiver, terminal_rows, terminal_columns,
                private_network ? "private network namespace" : "the machine's network");
    std::printf("%-8s %7s %8s %8s %8s %7s %10s %10s %5s %5s %9s %7s  %s\n", "program", "rate/s", "sent/s",
                "sent", "logged", "lost", "send-fail", "cpu-us/fr", "user", "sys", "term-B/fr", "HWM-KiB",
                "exit");
    std::vector<run_result> floor_runs;
    std::vector<run_result> receiver_runs;
    std::vector<double> ratios;
    bool all_clean = true;
    const auto run_step = [&](const load_step& step, const std::vector<std::string>& texts) {
        floor_runs.push_back(run_once(ZARIM_FLOOR_PATH, step, texts));
        print_run("floor", floor_runs.back());
        receiver_runs.push_back(run_once(receiver, step, texts));
        print_run("zarim", receiver_runs.back());
        all_clean = all_clean && floor_runs.back().ran && receiver_runs.back().ran &&
                    floor_runs.back().clean_exit && receiver_runs.back().clean_exit;
        const double floor_cpu = cpu_us_per_frame(floor_runs.back());
        return floor_cpu > 0 ? cpu_us_per_frame(receiver_runs.back()) / floor_cpu : 0;
    };
    for (const load_step& step : load_steps) {
        if (judged_only && &step != &load_steps[0]) break;
        const auto count = static_cast<std::uint64_t>(static_cast<double>(step.rate) * step.seconds);
        const std::vector<std::string> texts = flight_texts(count, step.rate);
        const int rounds = &step == &load_steps[0] ? judged_rounds : 1;
        for (int round = 0; round < rounds; ++round) {
            const double ratio = run_step(step, texts);
            if (&step == &load_steps[0]) ratios.push_back(ratio);
        }
    }

    // The judged runs are the first ones of each program.
    const auto judged = [judged_rounds](const std::vector<run_result>& runs) {
        return std::vector<run_result>(runs.begin(), runs.begin() + judged_rounds);
    };
    const std::vector<run_result> floor_judged = judged(floor_runs);
    const std::vector<run_result> receiver_judged = judged(receiver_runs);
    long peak_kib = 0;
    for (const run_result& run : receiver_runs) peak_kib = run.peak_kib > peak_kib ? run.peak_kib : peak_kib;
    std::uint64_t judged_lost = 0;
    std::uint64_t judged_logged = 0;
    std::uint64_t judged_bytes = 0;
    for (const run_result& run : receiver_judged) {
        judged_lost += lost(run);
        judged_logged += run.logged;
        judged_bytes += run.terminal_bytes;
    }
    const double terminal_bytes =
        judged_logged == 0 ? 0 : static_cast<double>(judged_bytes) / static_cast<double>(judged_logged);
    std::vector<double> sorted = ratios;
    std::sort(sorted.begin(), sorted.end());
    std::printf("CPU per frame at %ld/s, %d rounds:", load_steps[0].rate, judged_rounds);
    for (int round = 0; round < judged_rounds; ++round) {
        std::printf(" zarim %.2f us / floor %.2f us = %.2f;", cpu_us_per_frame(receiver_judged[static_cast<std::size_t>(round)]),
                    cpu_us_per_frame(floor_judged[static_cast<std::size_t>(round)]), ratios[static_cast<std::size_t>(round)]);
    }
    std::printf(" ratio %.2f to %.2f, median %.2f (target <= %.1f)\n", sorted.front(), sorted.back(),
                sorted[sorted.size() / 2], cpu_ratio_target);
    std::printf("frames lost at %ld/s for %.0f s, %d rounds: %llu (target 0)\n", load_steps[0].rate,
                load_steps[0].seconds, judged_rounds, static_cast<unsigned long long>(judged_lost));
    std::printf("highest rate without loss: zarim %ld/s, floor %ld/s (of", highest_rate_without_loss(receiver_runs),
                highest_rate_without_loss(floor_runs));
    for (const load_step& step : load_steps) std::printf(" %ld", step.rate);
    std::printf(")\n");
    std::printf("terminal bytes per valid frame at %ld/s: %.1f (target <= %.0f)\n", load_steps[0].rate,
                terminal_bytes, terminal_bytes_target);
    std::printf("peak resident memory of zarim: %.2f MiB (target <= %.0f MiB)\n", static_cast<double>(peak_kib) / 1024,
                static_cast<double>(resident_target_kib) / 1024);
    if (!all_clean) {
        std::printf("a run did not end cleanly with exit status 0 after ESC\n");
        return 1;
    }
    return 0;
}
