#include "core/arithmetic.h"

int main()
{
    set_arithmetic_mode();
    return 0;
}
