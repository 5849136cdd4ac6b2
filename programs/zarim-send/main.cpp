// zarim-send: telemetry frames for the receiver, from a simulated flight, a
// receiver log, the command line or standard input.
#include <exception>
#include <string>
#include <unistd.h>

#include "send_options.h"
#include "send_run.h"
#include "tool_output.h"
#include "zarim_version.h"

namespace {

int run(int argc, char** argv)
{
    send_options options;
    std::string problem;
    if (!parse_send_options(argc, argv, options, problem)) {
        report(problem + " (see --help)");
        return 2;
    }
    if (options.help) return write_all(STDOUT_FILENO, send_usage()) == 0 ? 0 : 1;
    if (options.version)
        return write_all(STDOUT_FILENO, std::string("zarim-send ") + zarim_version + "\n") == 0 ? 0 : 1;
    return run_sender(options);
}

}  // namespace

// Whatever escapes ends in one message and an exit status, never an abort.
int main(int argc, char** argv)
{
    try {
        return run(argc, argv);
    } catch (const std::exception& error) {
        report(error.what());
    } catch (...) {
        report("stopped by an unexpected error");
    }
    return 1;
}
