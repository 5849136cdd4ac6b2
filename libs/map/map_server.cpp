#include "map_server.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <csignal>
#include <map>
#include <mutex>
#include <sstream>

#include "allowed_hosts.h"
#include "documents.h"
#include "event_hub.h"
#include "fields.h"
#include "leaflet_assets.h"
#include "page_assets.h"
#include "zarim_version.h"

namespace {

std::optional<std::uint64_t> whole_number(const std::optional<std::string>& text)
{
    if (!text || text->empty()) return std::nullopt;
    std::uint64_t value = 0;
    const char* end = text->data() + text->size();
    const auto [stop, error] = std::from_chars(text->data(), end, value);
    if (error != std::errc() || stop != end) return std::nullopt;
    return value;
}

std::optional<double> real_number(const std::optional<std::string>& text)
{
    if (!text || text->empty()) return std::nullopt;
    double value = 0;
    const char* end = text->data() + text->size();
    const auto [stop, error] = std::from_chars(text->data(), end, value, std::chars_format::general);
    if (error != std::errc() || stop != end || !std::isfinite(value)) return std::nullopt;
    return value;
}

const char* const page_policy =
    "default-src 'self'; script-src 'self'; connect-src 'self'; "
    "style-src 'self' 'unsafe-inline'; img-src 'self' data: blob: http: https:; "
    "frame-ancestors 'none'";

http_answer text_response(int status, std::string_view text)
{
    http_answer response;
    response.status = status;
    response.content_type = "text/plain; charset=utf-8";
    response.fixed_body = text;
    response.headers.emplace_back("Cache-Control", "no-store");
    return response;
}

http_answer document(document_text body, const char* content_type)
{
    http_answer response;
    response.content_type = content_type;
    response.body = std::move(body);
    response.headers.emplace_back("Cache-Control", "no-store");
    return response;
}

http_answer document(std::string body, const char* content_type)
{
    return document(std::make_shared<const std::string>(std::move(body)), content_type);
}

}  // namespace

// Plain data: the functions below do the work.
struct server_parts {
    live_flight* flight = nullptr;
    server_settings settings;
    std::map<std::string, served_file> leaflet;
    std::vector<std::string> missing;
    allowed_hosts hosts;
    std::mutex stopping;
    bool stopped = false;
    // The hub before the server: streams end (and tell the hub) while the
    // server closes its connections.
    std::optional<event_hub> hub;
    std::optional<http_server> server;
};

namespace {

void route(server_parts& p, const std::shared_ptr<http_exchange>& exchange);

void serve_events(server_parts& p, http_exchange& exchange)
{
    const http_request_head& request = exchange.request();
    if (request.head) {
        http_answer response;
        response.content_type = "text/event-stream";
        response.headers.emplace_back("Cache-Control", "no-store");
        exchange.respond(std::move(response));
        return;
    }
    const stream_cursor cursor = p.flight->place_stream(
        request.last_event_id, whole_number(query_parameter(request.target, "generation")),
        whole_number(query_parameter(request.target, "from")));
    if (!p.flight->join_stream()) {
        http_answer refused = text_response(503, "Too many live pages are open; try again shortly.\n");
        refused.headers.emplace_back("Retry-After", "10");
        exchange.respond(std::move(refused));
        return;
    }
    event_hub& hub = *p.hub;
    std::shared_ptr<http_stream> sink = exchange.stream([&hub] { hub.wake(); });
    http_answer response;
    response.content_type = "text/event-stream";
    response.headers.emplace_back("Cache-Control", "no-store");
    response.headers.emplace_back("X-Accel-Buffering", "no");
    response.stream = true;
    exchange.respond(std::move(response));
    hub.add(std::move(sink), cursor);
}

void serve_look(const server_parts& p, http_exchange& exchange)
{
    const std::string& target = exchange.request().target;
    std::optional<double> latitude = real_number(query_parameter(target, "latitude"));
    const std::optional<double> longitude = real_number(query_parameter(target, "longitude"));
    const std::optional<std::string> altitude_text = query_parameter(target, "altitude");
    const std::optional<double> altitude = real_number(altitude_text);
    if (altitude_text && !altitude) latitude.reset();  // given, but no number
    if (!latitude || !longitude || *latitude < -90 || *latitude > 90 || *longitude < -180 ||
        *longitude > 180) {
        exchange.respond(text_response(400, "look.json wants latitude (-90 to 90), longitude (-180 to 180) "
                                            "and optionally altitude, in degrees and metres.\n"));
        return;
    }
    station_option station;
    station.latitude = *latitude;
    station.longitude = *longitude;
    station.altitude = altitude.value_or(0);
    station.altitude_given = altitude.has_value();
    exchange.respond(document(json_text(p.flight->look_from(station)), "application/json"));
}

nlohmann::json config(const server_parts& p)
{
    nlohmann::json station = nullptr;
    if (p.settings.station) {
        station = {{"latitude", p.settings.station->latitude},
                   {"longitude", p.settings.station->longitude},
                   {"altitude", p.settings.station->altitude_given
                                    ? nlohmann::json(p.settings.station->altitude)
                                    : nlohmann::json(nullptr)}};
    }
    return {{"version", zarim_version},
            {"tiles", p.settings.tiles},
            // The standard tiles' terms ask for this credit on the map.
            {"attribution", p.settings.tiles_given
                                ? ""
                                : "&copy; <a href=\"https://www.openstreetmap.org/copyright\">"
                                  "OpenStreetMap</a> contributors"},
            {"station", std::move(station)},
            {"kml_refresh_seconds", p.settings.kml_refresh_seconds}};
}

// Runs on the network thread: anything that takes the flight's lock goes
// to a worker with later().
void route(server_parts& p, const std::shared_ptr<http_exchange>& exchange)
{
    const http_request_head& request = exchange->request();
    if (request.method != "GET" && request.method != "HEAD") {
        http_answer refused = text_response(405, "Only GET and HEAD are served.\n");
        refused.headers.emplace_back("Allow", "GET, HEAD");
        exchange->respond(std::move(refused));
        return;
    }
    if (!host_allowed(p.hosts, request.host)) {
        exchange->respond(text_response(421, "This server does not answer to that host name "
                                             "(zarim-map --allow-host NAME adds one).\n"));
        return;
    }
    if (!request.origin.empty() && !origin_allowed(p.hosts, request.origin)) {
        exchange->respond(text_response(403, "Requests from other sites' pages are refused.\n"));
        return;
    }
    const std::string_view path = target_path(request.target);
    for (const page_asset& asset : page_assets()) {
        if (asset.path != path) continue;
        http_answer response;
        response.content_type = asset.content_type;
        response.fixed_body = asset.body;
        response.headers.emplace_back("Cache-Control", "no-cache");
        if (path == "/") response.headers.emplace_back("Content-Security-Policy", page_policy);
        exchange->respond(std::move(response));
        return;
    }
    if (const auto file = p.leaflet.find(std::string(path)); file != p.leaflet.end()) {
        http_answer response;
        response.content_type = file->second.content_type;
        response.fixed_body = file->second.body;
        response.headers.emplace_back("Cache-Control", "max-age=86400");
        exchange->respond(std::move(response));
        return;
    }
    server_parts* parts = &p;
    // A document made after this moment is as new as the request wants.
    const auto asked = std::chrono::steady_clock::now();
    if (path == "/events") {
        exchange->later([parts](http_exchange& e) { serve_events(*parts, e); });
    } else if (path == "/track.geojson") {
        exchange->later([parts, asked](http_exchange& e) {
            e.respond(document(parts->flight->geojson_document(asked), "application/geo+json"));
        });
    } else if (path == "/track.kml") {
        exchange->later([parts, asked](http_exchange& e) {
            e.respond(document(parts->flight->kml_document(asked), "application/vnd.google-earth.kml+xml"));
        });
    } else if (path == "/look.json") {
        exchange->later([parts](http_exchange& e) { serve_look(*parts, e); });
    } else if (path == "/status.json") {
        exchange->later([parts](http_exchange& e) {
            e.respond(document(json_text(parts->flight->status_json()), "application/json"));
        });
    } else if (path == "/live.kml") {
        const std::string base = link_host(p.hosts, request.host, request.local_address);
        std::ostringstream link;
        write_network_link(link, "http://" + base + "/track.kml", p.settings.kml_refresh_seconds);
        exchange->respond(document(link.str(), "application/vnd.google-earth.kml+xml"));
    } else if (path == "/config.json") {
        exchange->respond(document(json_text(config(p)), "application/json"));
    } else {
        exchange->respond(text_response(404, "Not found: this program serves its map page and the flight's "
                                             "documents only.\n"));
    }
}

}  // namespace

map_server::map_server(live_flight& flight, server_settings settings) : parts_(std::make_unique<server_parts>())
{
    server_parts& p = *parts_;
    p.flight = &flight;
    p.settings = std::move(settings);
    p.leaflet = load_leaflet(p.settings.leaflet_directory, p.missing);
    p.hosts.listen_host = p.settings.host;
    for (const std::string& name : p.settings.allowed_hosts) {
        std::string normalised;
        if (usable_host_name(name, normalised)) p.hosts.names.push_back(normalised);
    }
    p.hub.emplace(flight, p.settings.heartbeat);
    p.server.emplace(p.settings.limits, [&p](const std::shared_ptr<http_exchange>& e) { route(p, e); });
}

map_server::~map_server()
{
    stop();
}

bool map_server::bind(std::string& problem)
{
    // A page that goes away mid-write must not end the program.
    static_cast<void>(std::signal(SIGPIPE, SIG_IGN));
    server_parts& p = *parts_;
    if (!p.server->bind(p.settings.host, p.settings.port, problem)) return false;
    p.hosts.port = p.server->port();
    return true;
}

std::uint16_t map_server::port() const
{
    return parts_->server->port();
}

bool map_server::serve()
{
    server_parts& p = *parts_;
    {
        const std::lock_guard lock(p.stopping);
        if (p.stopped) return true;
        p.hub->start();
    }
    return p.server->run();
}

void map_server::stop()
{
    server_parts& p = *parts_;
    p.flight->close();
    {
        const std::lock_guard lock(p.stopping);
        p.stopped = true;
    }
    p.server->stop();
    p.hub->stop();
}

const std::vector<std::string>& map_server::missing_files() const
{
    return parts_->missing;
}
