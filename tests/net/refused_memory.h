// Memory that a test can refuse. The test executable replaces the global
// allocation functions with ones that take their memory from malloc as
// usual, except that an allocation can be made to fail: exactly as it
// fails when memory runs out, throwing or returning null by its kind.
#pragma once

#include <cstddef>

// The allocation `count` allocations from now (0: the very next) fails,
// once; every other succeeds as usual.
void refuse_allocation_after(std::size_t count);

// No allocation fails (also what every test starts with).
void stop_refusing_memory();

// Whether the refused allocation has happened since it was armed.
bool memory_was_refused();
