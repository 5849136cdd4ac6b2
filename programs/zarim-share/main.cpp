// zarim-share: the station's log, line by line, to an MQTT broker that
// every map of the flight reads.
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <exception>
#include <string>

#include "share_options.h"
#include "share_run.h"
#include "zarim_version.h"

int main(int argc, char** argv)
try {
    char host[HOST_NAME_MAX + 1] = {};
    if (::gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
    share_options options;
    std::string problem;
    if (!parse_share_options(argc, argv, host, options, problem)) {
        static_cast<void>(std::fputs(("zarim-share: " + problem + " (see --help)\n").c_str(), stderr));
        return 2;
    }
    if (options.help) return std::fputs(share_usage(), stdout) < 0 ? 1 : 0;
    if (options.version) {
        return std::fputs((std::string("zarim-share ") + zarim_version + "\n").c_str(), stdout) < 0 ? 1 : 0;
    }
    return run_share(options);
} catch (const std::exception& error) {
    static_cast<void>(std::fputs((std::string("zarim-share: ") + error.what() + "\n").c_str(), stderr));
    return 1;
}
