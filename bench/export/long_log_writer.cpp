// Writes a long simulated receiver log: long_log_writer FILE [LINES].
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "simulated_log.h"

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 3) {
        std::fputs("usage: long_log_writer FILE [LINES]\n", stderr);
        return 2;
    }
    const int lines = argc == 3 ? std::atoi(argv[2]) : 1000000;
    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    write_simulated_log(out, lines);
    out.close();
    if (!out) {
        std::fprintf(stderr, "long_log_writer: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
