#include "net/refused_memory.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

// Allocations still to pass before the refused one; -1: none is refused.
std::atomic<long> allocations_to_pass{-1};
std::atomic<bool> refused{false};

bool refuse_this_one()
{
    long left = allocations_to_pass.load();
    while (left >= 0) {
        if (allocations_to_pass.compare_exchange_weak(left, left - 1)) {
            if (left == 0) {
                refused = true;
                return true;
            }
            return false;
        }
    }
    return false;
}

void* allocate(std::size_t size)
{
    return refuse_this_one() ? nullptr : std::malloc(size == 0 ? 1 : size);
}

}  // namespace

void refuse_allocation_after(std::size_t count)
{
    refused = false;
    allocations_to_pass = static_cast<long>(count);
}

void stop_refusing_memory()
{
    allocations_to_pass = -1;
}

bool memory_was_refused()
{
    return refused;
}

void* operator new(std::size_t size)
{
    void* memory = allocate(size);
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    return memory;
}

void* operator new[](std::size_t size)
{
    return operator new(size);
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    return allocate(size);
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    return allocate(size);
}

void operator delete(void* memory) noexcept
{
    std::free(memory);
}

void operator delete[](void* memory) noexcept
{
    std::free(memory);
}

void operator delete(void* memory, std::size_t) noexcept
{
    std::free(memory);
}

void operator delete[](void* memory, std::size_t) noexcept
{
    std::free(memory);
}

void operator delete(void* memory, const std::nothrow_t&) noexcept
{
    std::free(memory);
}

void operator delete[](void* memory, const std::nothrow_t&) noexcept
{
    std::free(memory);
}
