#include "share_options.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "command_line.h"
#include "share_protocol.h"

namespace {

// More than this is no password line, and not read further.
constexpr std::size_t password_bound = 4096;

bool read_port(std::string_view digits, std::uint16_t& port)
{
    unsigned value = 0;
    const auto [stop, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || error != std::errc() || stop != digits.data() + digits.size() || value == 0 ||
        value > 65535) {
        return false;
    }
    port = static_cast<std::uint16_t>(value);
    return true;
}

bool check_name(const std::string& option, const std::string& name, std::string& problem)
{
    if (is_share_name(name)) return true;
    problem = option + ": " + share_name_problem(name);
    return false;
}

}  // namespace

bool parse_broker_url(const std::string& text, broker_address& broker, std::string& problem)
{
    problem = "--broker wants mqtt://HOST[:PORT] or mqtts://HOST[:PORT], not '" + text + "'";
    broker_address read;
    std::string_view rest = text;
    if (rest.starts_with("mqtt://")) {
        rest.remove_prefix(7);
    } else if (rest.starts_with("mqtts://")) {
        rest.remove_prefix(8);
        read.tls = true;
        read.port = 8883;
    } else {
        return false;
    }
    if (rest.ends_with("/")) rest.remove_suffix(1);
    if (rest.find('@') != std::string_view::npos) {
        problem = "--broker takes no user or password: give --username and --password-file";
        return false;
    }
    std::string_view host = rest;
    std::string_view port;
    if (rest.starts_with("[")) {
        const std::size_t close = rest.find(']');
        if (close == std::string_view::npos || close < 2) return false;
        host = rest.substr(1, close - 1);
        const std::string_view after = rest.substr(close + 1);
        if (!after.empty() && !after.starts_with(":")) return false;
        if (!after.empty()) port = after.substr(1);
        if (!after.empty() && port.empty()) return false;
    } else {
        const std::size_t colon = rest.find(':');
        if (colon != std::string_view::npos) {
            host = rest.substr(0, colon);
            port = rest.substr(colon + 1);
            if (port.empty()) return false;
        }
    }
    const bool plain_host = host.find_first_of("/?#[] \t") == std::string_view::npos;
    if (host.empty() || !plain_host || (!port.empty() && !read_port(port, read.port))) return false;
    read.host = host;
    broker = read;
    problem.clear();
    return true;
}

bool parse_share_options(int argc, const char* const* argv, const std::string& host_name,
                         share_options& options, std::string& problem)
{
    CLI::App app{"", "zarim-share"};
    use_companion_conventions(app);
    std::string broker;
    std::string station;
    app.add_flag("--help", options.help);
    app.add_flag("--version", options.version);
    add_valued(app, "--broker", broker);
    add_valued(app, "--flight", options.flight);
    add_valued(app, "--station-name", options.station_name);
    add_valued(app, "--station", station);
    add_valued(app, "--cafile", options.cafile);
    add_valued(app, "--cert", options.certfile);
    add_valued(app, "--key", options.keyfile);
    add_valued(app, "--username", options.username);
    add_valued(app, "--password-file", options.password_file);
    add_valued(app, "--state", options.state_path);
    app.add_option("log", options.log_path);
    if (!parse_command_line(app, argc, argv, problem)) return false;
    if (options.help || options.version) return true;

    if (app.count("--broker") == 0) {
        problem = "--broker is needed: the MQTT broker to publish to (mqtt://HOST:PORT)";
        return false;
    }
    if (!parse_broker_url(broker, options.broker, problem)) return false;
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
    const bool tls_files = app.count("--cafile") + app.count("--cert") + app.count("--key") != 0;
    if (tls_files && !options.broker.tls) {
        problem = "--cafile, --cert and --key are for a TLS broker: give it as mqtts://";
        return false;
    }
    if (options.certfile.empty() != options.keyfile.empty()) {
        problem = "--cert and --key go together: the client certificate and its private key";
        return false;
    }
    if (!options.password_file.empty() && options.username.empty()) {
        problem = "--password-file needs --username";
        return false;
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
    // The base directory specification wants an absolute path; a relative
    // one is ignored.
    if (state_home != nullptr && state_home[0] == '/') return std::string(state_home) + "/zarim/" + name;
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') return std::string(home) + "/.local/state/zarim/" + name;
    return log_directory + "/.zarim-" + name;
}

bool read_password_file(const std::string& path, std::string& password, std::string& problem)
{
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        problem = "cannot read the password file " + path + ": " + std::strerror(errno);
        return false;
    }
    std::string bytes(password_bound, '\0');
    std::size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t count = ::read(fd, bytes.data() + got, bytes.size() - got);
        if (count > 0) {
            got += static_cast<std::size_t>(count);
        } else if (count < 0 && errno == EINTR) {
            continue;
        } else {
            if (count < 0) problem = "cannot read the password file " + path + ": " + std::strerror(errno);
            break;
        }
    }
    ::close(fd);
    if (!problem.empty()) return false;
    bytes.resize(got);
    const std::size_t end = bytes.find_first_of("\r\n");
    password = bytes.substr(0, end);
    if (password.empty()) {
        problem = "the password file " + path + " holds no password on its first line";
        return false;
    }
    return true;
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
