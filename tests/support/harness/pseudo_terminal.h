// Runs a program on a pseudo-terminal of its own, as an operator's terminal
// emulator would.
#pragma once

#include <string>

// A new pseudo-terminal of that size: its master side (close-on-exec), and
// the path of its other side in `slave_path`; -1 with errno set on failure.
int open_sized_pseudo_terminal(int rows, int columns, std::string& slave_path);

// For the child between fork and exec: a session of its own with the
// terminal at `slave_path` as its controlling terminal and standard streams,
// `directory` as its working directory, and a UTF-8 xterm's environment.
// False when any of it fails.
bool enter_terminal_session(const std::string& slave_path, const std::string& directory);
