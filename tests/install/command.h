// Runs another program to its end and keeps what it printed, as a shell
// user would see it.
#pragma once

#include <string>
#include <vector>

struct command_result {
    int status = -1;  // exit status, 128 + signal, or -1 when it could not start
    std::string out;
    std::string err;
};

// Runs `arguments` (the program, looked up on PATH, then its arguments) with
// `settings` ("NAME=value") added to this process's environment.
command_result run_command(const std::vector<std::string>& arguments,
                           const std::vector<std::string>& settings = {});

// The whole text, for a failure message.
std::string describe(const command_result& result);
