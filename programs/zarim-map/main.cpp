// zarim-map: the flight live on a map in a web browser, from the receiver's
// log as it grows.
#include <cstdio>
#include <string>

#include "map_options.h"
#include "map_run.h"
#include "zarim_version.h"

int main(int argc, char** argv)
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
