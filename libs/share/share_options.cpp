#include "share_options.h"

#include <sys/stat.h>

#include <cstdlib>
#include <string_view>

#include "command_line.h"
#include "share_protocol.h"

namespace {

bool check_name(const std::string& option, const std::string& name, std::string& problem)
{
    if (is_share_name(name)) return true;
    problem = option + ": " + share_name_problem(name);
    return false;
}

}  // namespace

bool parse_share_options(int argc, const char* const* argv, const std::string& host_name,
                         share_options& options, std::string& problem)
{
    CLI::App app{"", "zarim-share"};
    use_companion_conventions(app);
    broker_option_texts broker;
    std::string station;
    app.add_flag("--help", options.help);
    app.add_flag("--version", options.version);
    add_broker_options(app, broker);
    add_valued(app, "--flight", options.flight);
    add_valued(app, "--station-name", options.station_name);
    add_valued(app, "--station", station);
    add_valued(app, "--state", options.state_path);
    app.add_option("log", options.log_path);
    if (!parse_command_line(app, argc, argv, problem)) return false;
    if (options.help || options.version) return true;

    if (!broker_given(app)) {
        problem = "--broker is needed: the MQTT broker to publish to (mqtt://HOST:PORT)";
        return false;
    }
    if (!check_broker_options(app, broker, problem)) return false;
    options.login = broker.login;
    if (app.count("--flight") == 0) {
        problem = "--flight is needed: the name every station and map of this flight uses";
        return false;
    }
    if (!check_name("--flight", options.flight, problem)) return false;
    if (app.count("--station-name") == 0) {
        if (!is_share_name(host_name)) {
            problem = "--station-name is needed: this computer's name (" + share_name_problem(host_name) +
                      ") cannot be one";
            return false;
        }
        options.station_name = host_name;
    }
    if (!check_name("--station-name", options.station_name, problem)) return false;
    if (app.count("--station") != 0) {
        position_option read;
        if (!parse_position_option(station, "--station", read, problem)) return false;
        options.station = read;
    }
    if (app.count("--state") != 0 && options.state_path.empty()) {
        problem = "--state wants a file name";
        return false;
    }
    if (options.log_path.empty()) {
        problem = "the log to follow is an empty name";
        return false;
    }
    return true;
}

std::string default_state_path(const std::string& flight, const std::string& station,
                               const std::string& log_directory)
{
    const std::string name = "share-" + flight + "-" + station + ".state";
    const char* state_home = std::getenv("XDG_STATE_HOME");
    // XDG's base directory rules want an absolute path; a relative
    // one is ignored.
    if (state_home != nullptr && state_home[0] == '/') return std::string(state_home) + "/zarim/" + name;
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') return std::string(home) + "/.local/state/zarim/" + name;
    return log_directory + "/.zarim-" + name;
}

const char* share_usage()
{
    return "Usage: zarim-share --broker URL --flight NAME [OPTION]... [LOG or DIR]\n"
           "Follows a receiver log as it grows and publishes every line to an MQTT\n"
           "broker, so that every map of the flight shows what this station hears.\n"
           "The log is the queue: lines the broker has not acknowledged are sent\n"
           "again, in order, after a restart, a lost network or a broker that was\n"
           "down; late maps get the whole log on request.\n"
           "\n"
           "LOG is a log file to follow. DIR (default: the current directory) is\n"
           "searched for the QLT_yyyymmdd.txt written to last, as zarim-map does.\n"
           "\n"
           "Options:\n"
           "  --broker URL        mqtt://HOST[:PORT] (default port 1883) or\n"
           "                      mqtts://HOST[:PORT] (TLS, default port 8883)\n"
           "  --flight NAME       the flight's name, the same at every station and map\n"
           "  --station-name NAME this station's name (default: the computer's name)\n"
           "                      Names hold letters, digits, '-', '_' and '.', 1 to 64\n"
           "  --station LAT,LON[,ALT]\n"
           "                      where the station stands, in degrees (south and\n"
           "                      west negative) and metres; published for the maps\n"
           "  --cafile FILE       the certificate authority that signed the broker's\n"
           "                      certificate (default: the system's authorities)\n"
           "  --cert FILE         a client certificate, for a broker that asks for one\n"
           "  --key FILE          the client certificate's private key\n"
           "  --username NAME     the user name to log in to the broker with\n"
           "  --password-file FILE\n"
           "                      the password, on the file's first line (never on\n"
           "                      the command line, where others can read it)\n"
           "  --state FILE        where to keep how far the broker has acknowledged\n"
           "                      each log (default: $XDG_STATE_HOME/zarim/\n"
           "                      share-FLIGHT-STATION.state)\n"
           "  --help              show this text\n"
           "  --version           show the version\n"
           "\n"
           "Topics: zarim/FLIGHT/STATION/lines (the log's lines),\n"
           "zarim/FLIGHT/STATION/station (the position, retained),\n"
           "zarim/FLIGHT/catchup (maps' requests) and zarim/FLIGHT/STATION/reply/MAP\n"
           "(the answers); see zarim-share(1).\n"
           "SIGINT and SIGTERM end the program once the lines sent are acknowledged.\n"
           "Exit status: 0 after a signal, 1 when the broker refuses this station\n"
           "(its password, certificate or access rules) or the log or state cannot\n"
           "be had, 2 for a bad command line.\n";
}
