// A program run on a pseudo-terminal of its own whose output is taken as
// fast as it comes and counted, the way a terminal emulator would take it.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

struct terminal_child {
    pid_t pid = -1;
    int terminal = -1;  // the master side
    std::atomic<std::uint64_t> bytes{0};  // taken from the terminal so far
    std::atomic<bool> stop{false};
    std::thread drain;
};

// Starts `program` as a session leader with the terminal as its controlling
// terminal and standard streams, in `directory`. False, with `problem` set,
// when it could not be started.
bool start_on_terminal(terminal_child& child, const std::string& program, const std::string& directory,
                       int rows, int columns, std::string& problem);

// The same for a command line, the program first, with `environment`
// ("NAME=value" each) added to the terminal's.
bool start_command_on_terminal(terminal_child& child, const std::vector<std::string>& command,
                               const std::vector<std::string>& environment, const std::string& directory,
                               int rows, int columns, std::string& problem);

// Sends bytes as if typed.
bool type_bytes(terminal_child& child, const char* bytes, std::size_t length);

struct cpu_time {
    double user = 0;  // seconds
    double system = 0;
};

// Of the running child, from /proc; zero when it cannot be read.
cpu_time child_cpu_time(pid_t pid);

// VmHWM of the running child in KiB; 0 when it cannot be read.
long peak_resident_kib(pid_t pid);

// Waits up to `milliseconds` for the child to end and gives its wait status;
// past that it is killed and -1 returned. Either way the drain ends and the
// terminal is closed.
int finish_child(terminal_child& child, int milliseconds);
