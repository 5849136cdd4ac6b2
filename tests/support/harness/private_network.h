// Port 3000 for one test or benchmark process alone: a network namespace of
// its own where that can be had, otherwise the machine's network if the port
// is free.
#pragma once

#include <functional>

// As root: unshare the network and bring its loopback up, once per process.
// Call before any thread starts. False when it could not be done.
bool enter_private_network();

// Whether some socket holds UDP port 3000 in the current network.
bool port_3000_taken();

// Several receivers at once, each on its own port 3000: a network namespace
// for each, made as root, with its loopback up. Returns a descriptor that
// keeps it, or -1. The calling thread's own network is left as it was.
int make_network_namespace();
// Runs `start` on this thread inside the namespace `network` (what it forks
// stays there), then brings the thread back to its own network. False when
// the namespace could not be entered or left.
bool run_in_network(int network, const std::function<void()>& start);
