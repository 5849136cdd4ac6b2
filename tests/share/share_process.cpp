#include "share/share_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <iterator>
#include <thread>

namespace {

std::string program_path()
{
    const char* build = std::getenv("ZARIM_BUILD_DIR");
    return build != nullptr && *build != '\0' ? std::string(build) + "/zarim-share" : ZARIM_SHARE_PATH;
}

int exit_status(int status)
{
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace

void start_share(share_process& share, const std::vector<std::string>& arguments, const std::string& state_home)
{
    std::vector<std::string> all = {program_path()};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    share.output_path = state_home + "/output-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    share.pid = ::fork();
    if (share.pid == 0) {
        ::setenv("XDG_STATE_HOME", state_home.c_str(), 1);
        const int out = ::open(share.output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out >= 0) {
            ::dup2(out, 1);
            ::dup2(out, 2);
        }
        const int nothing = ::open("/dev/null", O_RDONLY);
        if (nothing >= 0) ::dup2(nothing, 0);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ASSERT_GT(share.pid, 0);
}

int wait_share(share_process& share, int seconds)
{
    if (share.pid <= 0) return -1;
    int status = 0;
    for (int i = 0; i < seconds * 20; ++i) {
        if (::waitpid(share.pid, &status, WNOHANG) == share.pid) {
            share.pid = -1;
            return exit_status(status);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
}

int stop_share(share_process& share, int signal)
{
    if (share.pid <= 0) return -1;
    ::kill(share.pid, signal);
    const int status = wait_share(share, 20);
    if (status >= 0) return status;
    ::kill(share.pid, SIGKILL);
    int raw = 0;
    ::waitpid(share.pid, &raw, 0);
    share.pid = -1;
    return 128 + SIGKILL;
}

std::string share_output(const share_process& share)
{
    std::ifstream in(share.output_path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string log_line(int counter)
{
    const int seconds = 43200 + counter;
    char time[16];
    std::snprintf(time, sizeof time, "%02d:%02d:%02d", seconds / 3600 % 24, seconds / 60 % 60, seconds % 60);
    return " " + std::to_string(counter) + " ," + time + ",-23.55 ,-46.63 , 760 , 50 , 9 ,-10 , 4.02 , 6 ";
}

void append_lines(const std::string& path, int first, int count)
{
    std::string bytes;
    for (int i = first; i < first + count; ++i) bytes += log_line(i) + "\r\n";
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out << bytes;
}

std::vector<shared_line> lines_in(const std::vector<received_message>& messages, const std::string& flight)
{
    std::vector<shared_line> lines;
    for (const received_message& m : messages) {
        share_message message;
        std::string problem;
        EXPECT_TRUE(read_share_message(flight, m.topic, m.payload, message, problem)) << m.topic << ": " << problem;
        if (const auto* line = std::get_if<shared_line>(&message)) lines.push_back(*line);
    }
    return lines;
}

std::vector<std::uint64_t> numbers_of(const std::vector<shared_line>& lines)
{
    std::vector<std::uint64_t> numbers;
    for (const shared_line& line : lines) numbers.push_back(line.number);
    return numbers;
}

std::vector<std::uint64_t> one_to(std::uint64_t count)
{
    std::vector<std::uint64_t> numbers;
    for (std::uint64_t i = 1; i <= count; ++i) numbers.push_back(i);
    return numbers;
}

std::string sequence_report(const std::vector<std::uint64_t>& numbers)
{
    std::size_t at = 0;
    while (at < numbers.size() && numbers[at] == at + 1) ++at;
    std::string report = std::to_string(numbers.size()) + " lines";
    if (at == numbers.size()) return report + ", 1 to " + std::to_string(at);
    report += ", 1 to " + std::to_string(at) + " then";
    for (std::size_t i = at; i < numbers.size() && i < at + 12; ++i) report += " " + std::to_string(numbers[i]);
    return report;
}

std::vector<std::uint64_t> first_arrivals(const std::vector<std::uint64_t>& numbers)
{
    std::set<std::uint64_t> seen;
    std::vector<std::uint64_t> first;
    for (const std::uint64_t n : numbers) {
        if (seen.insert(n).second) first.push_back(n);
    }
    return first;
}
