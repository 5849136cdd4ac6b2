# Every number the receiver prints is computed in 80-bit extended arithmetic.
# Refuse to build where long double is anything else, rather than print
# texts that differ in their last digits.
include(CheckCXXSourceCompiles)
set(CMAKE_REQUIRED_FLAGS "-std=c++20")
check_cxx_source_compiles("
#include <limits>
static_assert(std::numeric_limits<long double>::digits == 64, \"x\");
static_assert(std::numeric_limits<long double>::radix == 2, \"x\");
#if !defined(__x86_64__) && !defined(__i386__)
#error not x87
#endif
int main() { return 0; }
" ZARIM_HAS_X87_LONG_DOUBLE)
unset(CMAKE_REQUIRED_FLAGS)
if(NOT ZARIM_HAS_X87_LONG_DOUBLE)
  message(FATAL_ERROR
    "zarim needs long double to be the x87 80-bit extended format "
    "(64-bit significand); this compiler and target do not provide it. "
    "Build on x86-64 with g++ or clang++.")
endif()
