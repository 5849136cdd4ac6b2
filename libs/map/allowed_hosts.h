// Which Host a request may name. A web page on another site can make a
// browser send requests here under the other site's name (DNS rebinding)
// and read the answers as its own; refusing every name but our own stops
// it, as local web tools do. Numeric addresses need no such care: a page
// whose address is a number is not another site's.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct allowed_hosts {
    std::string listen_host;  // as given to --listen: a number or a name
    std::uint16_t port = 0;  // the port actually served
    std::vector<std::string> names;  // --allow-host, in lower case
};

// A name for --allow-host: letters, digits, hyphens and dots, or a numeric
// address; in lower case. False for anything else (a port included).
bool usable_host_name(std::string_view name, std::string& normalised);

// Whether `host` (a Host field) names this server: the listening address
// (when it listens on every address, any numeric address), `localhost`, or
// an allowed name, with the port served (which may be left out for 80).
bool host_allowed(const allowed_hosts& hosts, std::string_view host);

// Whether `origin` (an Origin field) is a page of this server.
bool origin_allowed(const allowed_hosts& hosts, std::string_view origin);

// The host and port that links in an answer to a request with `host`
// (already allowed) lead to: the allowed name it used, else the address
// the connection reached (`local_address`), never the field's own text.
std::string link_host(const allowed_hosts& hosts, std::string_view host, std::string_view local_address);
