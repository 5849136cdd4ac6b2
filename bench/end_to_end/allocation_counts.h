/* The page the allocation counter shares with the benchmark that reads it. */
#ifndef ZARIM_ALLOCATION_COUNTS_H
#define ZARIM_ALLOCATION_COUNTS_H

#include <stdint.h>

/* Names the file that holds the page; the benchmark creates it. */
static const char allocation_counts_variable[] = "ZARIM_ALLOCATION_COUNTS";

struct allocation_counts {
    uint64_t allocations; /* malloc, calloc, realloc and the aligned kinds */
    uint64_t releases;    /* free of a block, realloc to size 0 */
    uint64_t bytes;       /* asked for by the allocations */
    uint64_t tracing;     /* set by the benchmark: say where each allocation comes from */
};

#endif
