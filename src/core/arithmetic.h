// The floating-point mode every number text depends on.
#pragma once

// 64-bit significand, round to nearest with ties to even, every exception
// masked. Set once at process start; nothing changes it afterwards.
void set_arithmetic_mode();

// The x87 control word now in force, for tests that check the mode.
unsigned read_arithmetic_mode();
