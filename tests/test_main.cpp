#include <gtest/gtest.h>

#include "core/arithmetic.h"

int main(int argc, char** argv)
{
    set_arithmetic_mode();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
