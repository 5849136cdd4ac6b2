// What the receiver itself does for one valid frame, read from the real
// program on a pseudo-terminal with frames sent to 127.0.0.1:3000: the
// user-space instructions of the whole path from the wait to the log line,
// counted by callgrind, beside the floor program's, and the heap
// allocations it makes in steady state, counted inside the process by a
// preloaded allocation counter.
//
// Instructions: two runs under callgrind that differ only in how many frames
// they are sent; the difference of their totals over the difference of their
// logged frames leaves out start-up and shutdown. Allocations: one run at
// full speed; the counts are read before and after a stretch of frames that
// follows a warm-up, so buffers that grow once are not counted.
//
//   frame_cost_bench [--keep] [--where] [receiver]
// The receiver built beside it by default. --keep leaves callgrind's output
// files in place for callgrind_annotate, which shows where the instructions
// go, and says where they are. --where writes the call chain of every
// allocation counted to a file and says where it is (addr2line turns the
// receiver's offsets into source lines).
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "allocation_counts.h"
#include "log_lines.h"
#include "private_network.h"
#include "run_support.h"
#include "terminal_child.h"
#include "udp_sender.h"

namespace {

// The set-up the cost was first measured in: a 100 by 40 terminal, so that
// the table scrolls 31 rows, and the frames of a flight at 2000 a second.
constexpr int terminal_rows = 40;
constexpr int terminal_columns = 100;
constexpr long frame_rate = 2000;

constexpr std::uint64_t short_run_frames = 200;
constexpr std::uint64_t long_run_frames = 2200;
constexpr std::uint64_t allocation_warm_up_frames = 2000;
constexpr std::uint64_t allocation_counted_frames = 20000;
constexpr double instruction_target = 15000;

// Frames go out in batches, each sent only when the one before is logged, so
// that a receiver slowed down by callgrind never loses one.
constexpr std::uint64_t batch_frames = 50;
constexpr int stalled_ms = 20000;

struct session {
    terminal_child child;
    udp_sender sender;
    log_counter log;
};

// Waits until the log holds `expected` lines; false when it stops growing
// for stalled_ms first.
bool wait_for_lines(log_counter& log, std::uint64_t expected)
{
    std::uint64_t lines = count_log_lines(log);
    for (int still = 0; lines < expected; still += 5) {
        if (still >= stalled_ms) return false;
        sleep_ms(5);
        const std::uint64_t now = count_log_lines(log);
        if (now != lines) still = 0;
        lines = now;
    }
    return true;
}

// Starts the command on a terminal with its log in a scratch directory, and
// sends frames of a slow flight a tenth of a second apart until one is
// logged: then the program is in its loop.
bool start_session(session& run, const std::vector<std::string>& command,
                   const std::vector<std::string>& environment, const std::string& directory)
{
    run.log.directory = directory;
    std::string problem;
    if (!open_udp_sender("127.0.0.1", 3000, run.sender, problem)) {
        std::fprintf(stderr, "cannot send frames: %s\n", problem.c_str());
        return false;
    }
    if (!start_command_on_terminal(run.child, command, environment, directory, terminal_rows, terminal_columns,
                                   problem)) {
        std::fprintf(stderr, "cannot start %s: %s\n", command.front().c_str(), problem.c_str());
        close_udp_sender(run.sender);
        return false;
    }
    // Valgrind takes some seconds to come up on a busy machine.
    const std::vector<std::string> warm_up = flight_texts(600, 10);
    for (const std::string& text : warm_up) {
        send_datagram(run.sender, text);
        sleep_ms(100);
        if (count_log_lines(run.log) > 0) {
            sleep_ms(300);
            return true;
        }
    }
    std::fprintf(stderr, "%s logged none of its first frames\n", command.back().c_str());
    finish_child(run.child, 0);
    close_udp_sender(run.sender);
    return false;
}

// Sends texts[0, count) in batches, each after the one before is logged.
bool feed_frames(session& run, const std::vector<std::string>& texts, std::uint64_t count)
{
    const std::uint64_t start = count_log_lines(run.log);
    for (std::uint64_t sent = 0; sent < count;) {
        const std::uint64_t end = sent + batch_frames < count ? sent + batch_frames : count;
        for (; sent < end; ++sent) send_datagram(run.sender, texts[sent % texts.size()]);
        if (!wait_for_lines(run.log, start + end)) {
            std::fprintf(stderr, "the receiver stopped logging (%llu of %llu lines)\n",
                         static_cast<unsigned long long>(count_log_lines(run.log) - start),
                         static_cast<unsigned long long>(end));
            return false;
        }
    }
    return true;
}

// ESC, which takes effect once the next datagram is handled; then one more
// frame. True when the program ended with status 0 within the time given.
bool end_session(session& run, const std::string& last_text, int milliseconds)
{
    const char escape = 27;
    type_bytes(run.child, &escape, 1);
    sleep_ms(50);
    send_datagram(run.sender, last_text);
    const int status = finish_child(run.child, milliseconds);
    close_udp_sender(run.sender);
    return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool read_file(const std::string& path, std::string& text)
{
    FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) return false;
    char buffer[4096];
    text.clear();
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, got);
    std::fclose(file);
    return true;
}

// The total of the first event, Ir, from callgrind's output file.
bool callgrind_total(const std::string& path, std::uint64_t& total)
{
    std::string text;
    if (!read_file(path, text)) return false;
    for (const char* key : {"\ntotals:", "\nsummary:"}) {
        const std::size_t at = text.find(key);
        if (at != std::string::npos) {
            total = std::strtoull(text.c_str() + at + std::strlen(key), nullptr, 10);
            return total > 0;
        }
    }
    return false;
}

bool on_path(const char* program)
{
    const char* path = std::getenv("PATH");
    std::string rest = path != nullptr ? path : "/usr/bin:/bin";
    for (std::size_t start = 0; start <= rest.size();) {
        std::size_t end = rest.find(':', start);
        if (end == std::string::npos) end = rest.size();
        const std::string candidate = rest.substr(start, end - start) + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0) return true;
        start = end + 1;
    }
    return false;
}

struct instruction_run {
    bool ran = false;
    std::uint64_t logged = 0;
    std::uint64_t instructions = 0;
};

instruction_run count_instructions(const std::string& program, const std::vector<std::string>& texts,
                                   std::uint64_t frames, bool keep)
{
    instruction_run result;
    const std::string directory = make_scratch_directory();
    if (directory.empty()) return result;
    const std::string output = directory + "/callgrind.out";
    const std::string messages = directory + "/valgrind.log";
    const std::vector<std::string> command = {
        "valgrind", "--tool=callgrind", "--callgrind-out-file=" + output, "--log-file=" + messages,
        "--dump-line=no", program};
    session run;
    if (start_session(run, command, {}, directory)) {
        const bool fed = feed_frames(run, texts, frames);
        // Callgrind writes its totals as the program ends.
        const bool clean = end_session(run, texts.front(), 60000);
        result.logged = count_log_lines(run.log);
        result.ran = fed && clean && callgrind_total(output, result.instructions);
        if (!result.ran) std::fprintf(stderr, "callgrind run failed; see %s\n", messages.c_str());
    }
    if (keep) {
        std::printf("callgrind output of %s with %llu frames: %s\n", program.c_str(),
                    static_cast<unsigned long long>(frames), output.c_str());
        return result;
    }
    unlink(output.c_str());
    if (result.ran) unlink(messages.c_str());
    remove_scratch_directory(run.log);
    return result;
}

// The two callgrind runs of one program and what they give per frame; 0 when
// either failed.
double instructions_per_frame(const char* name, const std::string& program, const std::vector<std::string>& texts,
                              bool keep)
{
    const instruction_run short_run = count_instructions(program, texts, short_run_frames, keep);
    const instruction_run long_run = count_instructions(program, texts, long_run_frames, keep);
    if (!short_run.ran || !long_run.ran || long_run.logged <= short_run.logged) return 0;
    std::printf("callgrind, %s: %llu instructions for %llu valid frames, %llu for %llu\n", name,
                static_cast<unsigned long long>(short_run.instructions),
                static_cast<unsigned long long>(short_run.logged),
                static_cast<unsigned long long>(long_run.instructions),
                static_cast<unsigned long long>(long_run.logged));
    return static_cast<double>(long_run.instructions - short_run.instructions) /
           static_cast<double>(long_run.logged - short_run.logged);
}

struct allocation_run {
    bool ran = false;
    std::uint64_t frames = 0;
    allocation_counts counted{};
};

allocation_counts read_counts(const volatile allocation_counts* shared)
{
    allocation_counts now{};
    now.allocations = __atomic_load_n(&shared->allocations, __ATOMIC_RELAXED);
    now.releases = __atomic_load_n(&shared->releases, __ATOMIC_RELAXED);
    now.bytes = __atomic_load_n(&shared->bytes, __ATOMIC_RELAXED);
    return now;
}

allocation_run count_allocations(const std::string& receiver, const std::vector<std::string>& texts, bool where)
{
    allocation_run result;
    const std::string directory = make_scratch_directory();
    if (directory.empty()) return result;
    const std::string counts_path = directory + "/allocation-counts";
    const int fd = open(counts_path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || ftruncate(fd, sizeof(allocation_counts)) != 0) {
        std::fprintf(stderr, "cannot make %s\n", counts_path.c_str());
        if (fd >= 0) close(fd);
        rmdir(directory.c_str());
        return result;
    }
    void* page = mmap(nullptr, sizeof(allocation_counts), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    session run;
    if (page != MAP_FAILED &&
        start_session(run, {receiver},
                      {std::string("LD_PRELOAD=") + ZARIM_ALLOCATION_COUNTER_PATH,
                       std::string(allocation_counts_variable) + "=" + counts_path},
                      directory)) {
        auto* shared = static_cast<volatile allocation_counts*>(page);
        bool fed = feed_frames(run, texts, allocation_warm_up_frames);
        if (where) __atomic_store_n(&shared->tracing, 1, __ATOMIC_RELAXED);
        const allocation_counts before = read_counts(shared);
        const std::uint64_t lines_before = count_log_lines(run.log);
        fed = fed && feed_frames(run, texts, allocation_counted_frames);
        const allocation_counts after = read_counts(shared);
        result.frames = count_log_lines(run.log) - lines_before;
        result.counted = {after.allocations - before.allocations, after.releases - before.releases,
                          after.bytes - before.bytes, 0};
        const bool clean = end_session(run, texts.front(), 5000);
        result.ran = fed && clean && before.allocations > 0;
        if (before.allocations == 0) std::fprintf(stderr, "the allocation counter was not loaded\n");
    }
    if (page != MAP_FAILED) munmap(page, sizeof(allocation_counts));
    unlink(counts_path.c_str());
    if (where) {
        std::printf("call chains of the allocations counted: %s-where\n", counts_path.c_str());
        return result;
    }
    unlink((counts_path + "-where").c_str());
    remove_scratch_directory(run.log);
    return result;
}

}  // namespace

int main(int argc, char** argv)
{
    bool keep = false;
    bool where = false;
    std::string receiver = ZARIM_RECEIVER_PATH;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--keep") == 0) {
            keep = true;
        } else if (std::strcmp(argv[i], "--where") == 0) {
            where = true;
        } else {
            receiver = argv[i];
        }
    }
    const bool private_network = enter_private_network();
    if (!private_network && port_3000_taken()) {
        std::printf("frame cost benchmark skipped: UDP port 3000 is in use and no private network "
                    "namespace could be had (that needs root)\n");
        return 0;
    }
    std::printf("frame cost: %s on a %dx%d pseudo-terminal, valid frames of a flight at %ld/s (%s)\n",
                receiver.c_str(), terminal_rows, terminal_columns, frame_rate,
                private_network ? "private network namespace" : "the machine's network");
    std::fflush(stdout);
    const std::vector<std::string> texts = flight_texts(allocation_counted_frames, frame_rate);
    bool all_ran = true;

    if (on_path("valgrind")) {
        const double floor = instructions_per_frame("floor", ZARIM_FLOOR_PATH, texts, keep);
        const double own = instructions_per_frame("receiver", receiver, texts, keep);
        if (floor > 0 && own > 0) {
            std::printf("user-space instructions per valid frame: %.0f, the floor %.0f (target <= %.0f)\n", own,
                        floor, instruction_target);
        } else {
            all_ran = false;
        }
    } else {
        std::printf("instructions per valid frame skipped: valgrind is not installed\n");
    }
    std::fflush(stdout);

    const allocation_run allocations = count_allocations(receiver, texts, where);
    if (allocations.ran && allocations.frames > 0) {
        const double frames = static_cast<double>(allocations.frames);
        std::printf("allocations per valid frame in steady state: %.3f (%llu in %llu frames after %llu; "
                    "releases %llu, bytes %llu) (target 0)\n",
                    static_cast<double>(allocations.counted.allocations) / frames,
                    static_cast<unsigned long long>(allocations.counted.allocations),
                    static_cast<unsigned long long>(allocations.frames),
                    static_cast<unsigned long long>(allocation_warm_up_frames),
                    static_cast<unsigned long long>(allocations.counted.releases),
                    static_cast<unsigned long long>(allocations.counted.bytes));
    } else {
        all_ran = false;
    }
    if (!all_ran) {
        std::printf("a run did not complete\n");
        return 1;
    }
    return 0;
}
