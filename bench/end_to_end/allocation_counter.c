/* Loaded into the receiver with LD_PRELOAD by the frame cost benchmark: it
 * counts every allocation and release the process makes, operator new and
 * the C library's own included (both come through malloc), into a page of
 * a file that the benchmark maps as well. So the counts are taken inside the
 * process and read outside it at any moment, without stopping it. The real
 * work is left to the C library's own entry points. */
#include <errno.h>
#include <execinfo.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "allocation_counts.h"

extern void* __libc_malloc(size_t size);
extern void* __libc_calloc(size_t count, size_t size);
extern void* __libc_realloc(void* block, size_t size);
extern void* __libc_memalign(size_t alignment, size_t size);
extern void* __libc_valloc(size_t size);
extern void* __libc_pvalloc(size_t size);
extern void __libc_free(void* block);

/* Null until the page is mapped: what the loader allocates before that is
 * not counted, and nothing of the receiver's runs that early. */
static struct allocation_counts* counts;

/* Where the call chains of traced allocations go: the page's file name with
 * "-where" added. backtrace may allocate itself; those are not traced. */
static int where_fd = -1;
static __thread int tracing_now;

__attribute__((constructor)) static void map_counts(void)
{
    const char* path = getenv(allocation_counts_variable);
    if (path == NULL) {
        return;
    }
    const int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    void* page = mmap(NULL, sizeof *counts, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (page == MAP_FAILED) {
        return;
    }
    char where[4096];
    const size_t length = strlen(path);
    if (length + sizeof "-where" <= sizeof where) {
        memcpy(where, path, length);
        memcpy(where + length, "-where", sizeof "-where");
        where_fd = open(where, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        /* The unwinder is loaded now, while nothing is traced. */
        void* frames[4];
        backtrace(frames, 4);
    }
    counts = page;
}

static void trace(void)
{
    if (where_fd < 0 || tracing_now || __atomic_load_n(&counts->tracing, __ATOMIC_RELAXED) == 0) {
        return;
    }
    tracing_now = 1;
    void* frames[24];
    const int depth = backtrace(frames, 24);
    backtrace_symbols_fd(frames, depth, where_fd);
    (void)!write(where_fd, "\n", 1);
    tracing_now = 0;
}

static void count_allocation(const void* block, size_t size)
{
    if (counts != NULL && block != NULL) {
        __atomic_fetch_add(&counts->allocations, 1, __ATOMIC_RELAXED);
        __atomic_fetch_add(&counts->bytes, size, __ATOMIC_RELAXED);
        trace();
    }
}

static void count_release(const void* block)
{
    if (counts != NULL && block != NULL) {
        __atomic_fetch_add(&counts->releases, 1, __ATOMIC_RELAXED);
    }
}

void* malloc(size_t size)
{
    void* block = __libc_malloc(size);
    count_allocation(block, size);
    return block;
}

void* calloc(size_t count, size_t size)
{
    void* block = __libc_calloc(count, size);
    count_allocation(block, count * size);
    return block;
}

/* A resize is an allocation whatever it does to the block: the heap is
 * asked for memory. */
void* realloc(void* block, size_t size)
{
    void* resized = __libc_realloc(block, size);
    if (block != NULL && size == 0) {
        count_release(block);
    } else {
        count_allocation(resized, size);
    }
    return resized;
}

void free(void* block)
{
    count_release(block);
    __libc_free(block);
}

void* memalign(size_t alignment, size_t size)
{
    void* block = __libc_memalign(alignment, size);
    count_allocation(block, size);
    return block;
}

void* aligned_alloc(size_t alignment, size_t size)
{
    return memalign(alignment, size);
}

int posix_memalign(void** result, size_t alignment, size_t size)
{
    if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) {
        return EINVAL;
    }
    void* block = memalign(alignment, size);
    if (block == NULL) {
        return ENOMEM;
    }
    *result = block;
    return 0;
}

void* valloc(size_t size)
{
    void* block = __libc_valloc(size);
    count_allocation(block, size);
    return block;
}

void* pvalloc(size_t size)
{
    void* block = __libc_pvalloc(size);
    count_allocation(block, size);
    return block;
}
