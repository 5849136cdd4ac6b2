// Port 3000 for one test or benchmark process alone: a network namespace of
// its own where that can be had, otherwise the machine's network if the port
// is free.
#pragma once

// As root: unshare the network and bring its loopback up, once per process.
// Call before any thread starts. False when it could not be done.
bool enter_private_network();

// Whether some socket holds UDP port 3000 in the current network.
bool port_3000_taken();
