// The built zarim-map run as a child process, as a user runs it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

struct map_process {
    pid_t pid = -1;
    int output = -1;  // its standard output
    std::string said;  // what it has written there so far
    std::string errors_path;  // where its standard error goes
    std::uint16_t port = 0;  // the port it serves on, once it has said
};

// The path of build/zarim-map.
std::string map_program_path();

// Starts it with these arguments (after the program name) and waits until
// it says where it serves; fatal to the test (asserts) when it does not.
void start_map(map_process& map, const std::vector<std::string>& arguments);

// Sends SIGTERM and returns its exit status (or 128 + signal).
int stop_map(map_process& map);

struct finished_run {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs it to its end (a few seconds at most).
finished_run run_map_program(const std::vector<std::string>& arguments);
