// Asking a terminal its size is a system call, and the console would ask at
// every operation. The kernel tells the controlling terminal's foreground
// process of each change with SIGWINCH, so the console asks only after one.
#pragma once

// Installs the handler, for SIGWINCH and for SIGCONT: a process that was
// stopped or in the background may have missed a change. False when it
// could not be installed; then nothing tells of a change.
bool watch_size_signal();

// Whether a signal has come since the last call; each signal counts once.
bool take_size_signal();
