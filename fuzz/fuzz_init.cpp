// Every target computes as the receiver does, so the x87 mode it sets at
// start-up is set here before the first input.
#include "core/arithmetic.h"

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    set_arithmetic_mode();
    return 0;
}
