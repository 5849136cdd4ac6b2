// zarim-map: the flight live on a map in a web browser, from the receiver's
// log as it grows.
#include <cstdio>
#include <exception>
#include <string>

#include "map_options.h"
#include "map_run.h"
#include "zarim_version.h"

namespace {

int run(int argc, char** argv)
{
    map_options options;
    std::string problem;
    if (!parse_map_options(argc, argv, options, problem)) {
        static_cast<void>(std::fputs(("zarim-map: " + problem + " (see --help)\n").c_str(), stderr));
        return 2;
    }
    if (options.help) return std::fputs(map_usage(), stdout) < 0 ? 1 : 0;
    if (options.version) {
        return std::fputs((std::string("zarim-map ") + zarim_version + "\n").c_str(), stdout) < 0 ? 1 : 0;
    }
    return run_map(options);
}

}  // namespace

// Whatever escapes ends in one message and an exit status, never an abort.
int main(int argc, char** argv)
{
    try {
        return run(argc, argv);
    } catch (const std::exception& error) {
        static_cast<void>(std::fputs((std::string("zarim-map: ") + error.what() + "\n").c_str(), stderr));
    } catch (...) {
        static_cast<void>(std::fputs("zarim-map: stopped by an unexpected error\n", stderr));
    }
    return 1;
}
