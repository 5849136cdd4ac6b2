#include "map/map_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>


namespace {

std::string scratch_directory()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/zarim-map-run-XXXXXX";
    return ::mkdtemp(pattern.data()) != nullptr ? pattern : "/tmp";
}

std::string file_text(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int exit_status(int status)
{
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

pid_t spawn(const std::vector<std::string>& arguments, int out, const std::string& errors)
{
    std::vector<std::string> all = {map_program_path()};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out, 1);
        const int err = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (err >= 0) ::dup2(err, 2);
        const int nothing = ::open("/dev/null", O_RDONLY);
        if (nothing >= 0) ::dup2(nothing, 0);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

}  // namespace

std::string map_program_path()
{
    const char* build = std::getenv("ZARIM_BUILD_DIR");
    return build != nullptr && *build != '\0' ? std::string(build) + "/zarim-map" : ZARIM_MAP_PATH;
}

void start_map(map_process& map, const std::vector<std::string>& arguments)
{
    int pipe_ends[2];
    ASSERT_EQ(::pipe2(pipe_ends, O_CLOEXEC), 0);
    map.errors_path = scratch_directory() + "/stderr.txt";
    map.pid = spawn(arguments, pipe_ends[1], map.errors_path);
    ::close(pipe_ends[1]);
    map.output = pipe_ends[0];
    ASSERT_GT(map.pid, 0);

    const std::string marker = "serving the live map at http://127.0.0.1:";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (map.said.find('/', map.said.find(marker) + marker.size()) == std::string::npos ||
           map.said.find(marker) == std::string::npos) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline)
            << "zarim-map said: " << map.said << file_text(map.errors_path);
        pollfd p{map.output, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        char chunk[4096];
        const ssize_t n = ::read(map.output, chunk, sizeof chunk);
        ASSERT_GT(n, 0) << "zarim-map ended: " << map.said << file_text(map.errors_path);
        map.said.append(chunk, static_cast<std::size_t>(n));
    }
    map.port = static_cast<std::uint16_t>(std::stoi(map.said.substr(map.said.find(marker) + marker.size())));
}

int stop_map(map_process& map)
{
    if (map.pid <= 0) return -1;
    ::kill(map.pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 200 && ::waitpid(map.pid, &status, WNOHANG) == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (::waitpid(map.pid, &status, WNOHANG) == 0) {
        ::kill(map.pid, SIGKILL);
        ::waitpid(map.pid, &status, 0);
        status = SIGKILL;  // reported as killed
    }
    map.pid = -1;
    if (map.output >= 0) ::close(map.output);
    map.output = -1;
    return exit_status(status);
}

finished_run run_map_program(const std::vector<std::string>& arguments)
{
    finished_run run;
    const std::string directory = scratch_directory();
    const std::string out_path = directory + "/stdout.txt";
    const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const pid_t pid = spawn(arguments, out, directory + "/stderr.txt");
    ::close(out);
    int status = 0;
    for (int i = 0; i < 200 && ::waitpid(pid, &status, WNOHANG) == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (::waitpid(pid, &status, WNOHANG) == 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    run.status = exit_status(status);
    run.out = file_text(out_path);
    run.err = file_text(directory + "/stderr.txt");
    return run;
}
