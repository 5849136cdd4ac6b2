#include "broker_options.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <string_view>

#include "command_line.h"

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

}  // namespace

void add_broker_options(CLI::App& app, broker_option_texts& texts)
{
    add_valued(app, "--broker", texts.url);
    add_valued(app, "--cafile", texts.login.cafile);
    add_valued(app, "--cert", texts.login.certfile);
    add_valued(app, "--key", texts.login.keyfile);
    add_valued(app, "--username", texts.login.username);
    add_valued(app, "--password-file", texts.login.password_file);
}

bool broker_given(const CLI::App& app)
{
    return app.count("--broker") != 0;
}

bool check_broker_options(const CLI::App& app, broker_option_texts& texts, std::string& problem)
{
    broker_login& login = texts.login;
    if (!parse_broker_url(texts.url, login.broker, problem)) return false;
    const bool tls_files = app.count("--cafile") + app.count("--cert") + app.count("--key") != 0;
    if (tls_files && !login.broker.tls) {
        problem = "--cafile, --cert and --key are for a TLS broker: give it as mqtts://";
        return false;
    }
    if (login.certfile.empty() != login.keyfile.empty()) {
        problem = "--cert and --key go together: the client certificate and its private key";
        return false;
    }
    if (!login.password_file.empty() && login.username.empty()) {
        problem = "--password-file needs --username";
        return false;
    }
    return true;
}

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

std::string broker_url(const broker_address& broker)
{
    const std::string host = broker.host.find(':') != std::string::npos ? "[" + broker.host + "]" : broker.host;
    return std::string(broker.tls ? "mqtts://" : "mqtt://") + host + ":" + std::to_string(broker.port);
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
