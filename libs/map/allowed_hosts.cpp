#include "allowed_hosts.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <optional>

namespace {

struct split_host {
    std::string name;  // lower case, IPv6 without its brackets, no final dot
    std::optional<std::uint16_t> port;
    bool bracketed = false;
};

char lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::optional<split_host> split(std::string_view host)
{
    split_host out;
    std::string_view name = host;
    std::string_view port;
    if (!host.empty() && host.front() == '[') {
        const std::size_t close = host.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        name = host.substr(1, close - 1);
        const std::string_view rest = host.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') return std::nullopt;
            port = rest.substr(1);
            if (port.empty()) return std::nullopt;
        }
        out.bracketed = true;
    } else if (const std::size_t colon = host.rfind(':'); colon != std::string_view::npos) {
        name = host.substr(0, colon);
        port = host.substr(colon + 1);
        if (port.empty()) return std::nullopt;
    }
    if (!port.empty()) {
        unsigned value = 0;
        const auto [stop, error] = std::from_chars(port.data(), port.data() + port.size(), value);
        if (error != std::errc() || stop != port.data() + port.size() || value > 65535) return std::nullopt;
        out.port = static_cast<std::uint16_t>(value);
    }
    if (!out.bracketed && !name.empty() && name.back() == '.') name.remove_suffix(1);
    if (name.empty() || name.size() > 253) return std::nullopt;
    out.name.reserve(name.size());
    for (const char c : name) out.name += lower(c);
    return out;
}

bool is_ipv4(const std::string& text)
{
    std::array<unsigned char, 4> bytes{};
    return ::inet_pton(AF_INET, text.c_str(), bytes.data()) == 1;
}

bool is_ipv6(const std::string& text)
{
    std::array<unsigned char, 16> bytes{};
    return ::inet_pton(AF_INET6, text.c_str(), bytes.data()) == 1;
}

// The same address however it is written ("::1" and "0:0::1").
bool same_address(const std::string& a, const std::string& b)
{
    std::array<unsigned char, 16> x{};
    std::array<unsigned char, 16> y{};
    if (::inet_pton(AF_INET, a.c_str(), x.data()) == 1)
        return ::inet_pton(AF_INET, b.c_str(), y.data()) == 1 && std::equal(x.begin(), x.begin() + 4, y.begin());
    if (::inet_pton(AF_INET6, a.c_str(), x.data()) == 1)
        return ::inet_pton(AF_INET6, b.c_str(), y.data()) == 1 && x == y;
    return a == b;
}

bool listens_everywhere(const std::string& listen_host)
{
    return listen_host.empty() || listen_host == "0.0.0.0" || listen_host == "::";
}

bool is_name_character(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

std::string with_port(const std::string& name, std::uint16_t port)
{
    return (name.find(':') != std::string::npos ? "[" + name + "]" : name) + ":" + std::to_string(port);
}

// A name, as opposed to a numeric address, that this server answers to.
bool known_name(const allowed_hosts& hosts, const std::string& name)
{
    if (name == "localhost") return true;
    std::string listen_name;
    if (usable_host_name(hosts.listen_host, listen_name) && listen_name == name) return true;
    return std::find(hosts.names.begin(), hosts.names.end(), name) != hosts.names.end();
}

}  // namespace

bool usable_host_name(std::string_view name, std::string& normalised)
{
    const std::optional<split_host> split_name = split(name);
    if (!split_name || split_name->port) return false;
    const std::string& text = split_name->name;
    if (split_name->bracketed ? !is_ipv6(text) : !(is_ipv4(text) || is_ipv6(text) ||
                                                   std::all_of(text.begin(), text.end(), is_name_character))) {
        return false;
    }
    normalised = text;
    return true;
}

bool host_allowed(const allowed_hosts& hosts, std::string_view host)
{
    const std::optional<split_host> h = split(host);
    if (!h) return false;
    if (h->port ? *h->port != hosts.port : hosts.port != 80) return false;
    const bool numeric = h->bracketed ? is_ipv6(h->name) : is_ipv4(h->name);
    if (h->bracketed && !numeric) return false;
    if (numeric) return listens_everywhere(hosts.listen_host) || same_address(h->name, hosts.listen_host);
    return known_name(hosts, h->name);
}

bool origin_allowed(const allowed_hosts& hosts, std::string_view origin)
{
    constexpr std::string_view scheme = "http://";
    if (origin.substr(0, scheme.size()) != scheme) return false;
    const std::string_view host = origin.substr(scheme.size());
    return host.find('/') == std::string_view::npos && host_allowed(hosts, host);
}

std::string link_host(const allowed_hosts& hosts, std::string_view host, std::string_view local_address)
{
    const std::optional<split_host> h = split(host);
    if (h && !h->bracketed && !is_ipv4(h->name) && known_name(hosts, h->name))
        return with_port(h->name, hosts.port);
    if (!listens_everywhere(hosts.listen_host)) return with_port(hosts.listen_host, hosts.port);
    return with_port(std::string(local_address), hosts.port);
}
