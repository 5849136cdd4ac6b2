#include "map_server.h"

#include <httplib.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "documents.h"
#include "fields.h"
#include "leaflet_assets.h"
#include "page_assets.h"
#include "zarim_version.h"

namespace {

// httplib's own pool queues every accepted connection without a bound;
// this one makes the listener wait instead, so a flood of connections
// waits in the kernel's backlog rather than in the program's memory.
class bounded_pool : public httplib::TaskQueue {
public:
    bounded_pool(std::size_t threads, std::size_t queued) : queued_(queued)
    {
        threads_.reserve(threads);
        for (std::size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { work(); });
    }
    bounded_pool(const bounded_pool&) = delete;
    bounded_pool& operator=(const bounded_pool&) = delete;
    ~bounded_pool() override = default;

    void enqueue(std::function<void()> job) override
    {
        std::unique_lock lock(mutex_);
        room_.wait(lock, [this] { return jobs_.size() < queued_ || shutting_down_; });
        jobs_.push_back(std::move(job));
        work_.notify_one();
    }

    void shutdown() override
    {
        {
            const std::lock_guard lock(mutex_);
            shutting_down_ = true;
        }
        work_.notify_all();
        room_.notify_all();
        for (std::thread& t : threads_) t.join();
    }

private:
    void work()
    {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock lock(mutex_);
                work_.wait(lock, [this] { return !jobs_.empty() || shutting_down_; });
                // Connections already accepted are still answered, so that
                // none is left open without a reply.
                if (jobs_.empty()) return;
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            room_.notify_one();
            // A connection whose work throws is dropped; the worker and
            // the program go on.
            try {
                job();
            } catch (const std::exception& error) {
                static_cast<void>(std::fputs(
                    (std::string("zarim-map: a request failed: ") + error.what() + "\n").c_str(), stderr));
            } catch (...) {
                static_cast<void>(std::fputs("zarim-map: a request failed\n", stderr));
            }
        }
    }

    const std::size_t queued_;
    std::vector<std::thread> threads_;
    std::deque<std::function<void()>> jobs_;
    std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable room_;
    bool shutting_down_ = false;
};

std::optional<std::uint64_t> whole_number(const std::string& text)
{
    std::uint64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end) return std::nullopt;
    return value;
}

std::optional<double> real_number(const std::string& text)
{
    double value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value, std::chars_format::general);
    if (text.empty() || error != std::errc() || stop != end || !std::isfinite(value))
        return std::nullopt;
    return value;
}

// A Host header fit to be put into a link: a name or an address and a port,
// nothing that could end the URL or start another.
bool usable_host(const std::string& host)
{
    return !host.empty() && host.size() <= 255 && std::ranges::all_of(host, [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '.' || c == '-' || c == ':' || c == '[' || c == ']';
    });
}

std::string host_for_url(const std::string& host, std::uint16_t port)
{
    const bool ipv6 = host.find(':') != std::string::npos;
    return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

// Why the address cannot be bound, as the system says it: httplib only
// says that it failed.
std::string bind_failure(const std::string& host, std::uint16_t port)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    const int looked_up = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (looked_up != 0) return std::string("the address is unknown: ") + ::gai_strerror(looked_up);
    std::string reason = "it could not be bound";
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) continue;
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        const int bound = ::bind(fd, a->ai_addr, a->ai_addrlen);
        const int error = errno;
        ::close(fd);
        if (bound != 0) {
            reason = error == EADDRINUSE
                         ? "the port is in use by another program (choose another with --listen)"
                         : std::strerror(error);
            break;
        }
    }
    ::freeaddrinfo(found);
    return reason;
}

const char* const page_policy =
    "default-src 'self'; script-src 'self'; connect-src 'self'; "
    "style-src 'self' 'unsafe-inline'; img-src 'self' data: blob: http: https:";

}  // namespace

// httplib listens with a backlog of five, its build's constant; a burst of
// pages and devices connecting at once would see connections dropped and
// retried for seconds. The socket is listened on again with the system's
// bound.
class map_http_server : public httplib::Server {
public:
    void widen_backlog() const
    {
        const socket_t fd = svr_sock_;
        if (fd != INVALID_SOCKET) ::listen(fd, SOMAXCONN);
    }
};

// Plain data: the functions below do the work.
struct server_parts {
    live_flight* flight = nullptr;
    server_settings settings;
    map_http_server server;
    std::map<std::string, served_file> leaflet;
    std::vector<std::string> missing;
    std::uint16_t port = 0;
    // httplib's stop() reaches only a server already listening; these let
    // a stop that comes first, or early, still end serve().
    std::mutex stopping;
    bool stopped = false;
    bool serving = false;
    std::atomic<bool> served{false};
};

namespace {

void serve_events(server_parts& p, const httplib::Request& request, httplib::Response& response);
void serve_look(const server_parts& p, const httplib::Request& request, httplib::Response& response);
nlohmann::json config(const server_parts& p);

void handle(server_parts& p, const httplib::Request& request, httplib::Response& response)
{
    response.set_header("X-Content-Type-Options", "nosniff");
    const std::string& path = request.path;
    for (const page_asset& asset : page_assets()) {
        if (asset.path != path) continue;
        response.set_header("Cache-Control", "no-cache");
        if (path == "/") response.set_header("Content-Security-Policy", page_policy);
        response.set_content(asset.body.data(), asset.body.size(), std::string(asset.content_type));
        return;
    }
    if (const auto file = p.leaflet.find(path); file != p.leaflet.end()) {
        response.set_header("Cache-Control", "max-age=86400");
        response.set_content(file->second.body, file->second.content_type);
        return;
    }
    response.set_header("Cache-Control", "no-store");
    if (path == "/events") {
        serve_events(p, request, response);
    } else if (path == "/track.geojson") {
        response.set_content(p.flight->track_geojson(), "application/geo+json");
    } else if (path == "/track.kml") {
        response.set_content(p.flight->track_kml(), "application/vnd.google-earth.kml+xml");
    } else if (path == "/live.kml") {
        const std::string host = request.get_header_value("Host");
        const std::string base = usable_host(host) ? host : host_for_url(p.settings.host, p.port);
        std::ostringstream link;
        write_network_link(link, "http://" + base + "/track.kml", p.settings.kml_refresh_seconds);
        response.set_content(link.str(), "application/vnd.google-earth.kml+xml");
    } else if (path == "/look.json") {
        serve_look(p, request, response);
    } else if (path == "/status.json") {
        response.set_content(json_text(p.flight->status_json()), "application/json");
    } else if (path == "/config.json") {
        response.set_content(json_text(config(p)), "application/json");
    } else {
        response.status = 404;
        response.set_content("Not found: this program serves its map page and the flight's "
                             "documents only.\n",
                             "text/plain; charset=utf-8");
    }
}

void serve_events(server_parts& p, const httplib::Request& request, httplib::Response& response)
{
    if (request.method == "HEAD") {
        response.set_content("", "text/event-stream");
        return;
    }
    if (!p.flight->join_stream()) {
        response.status = 503;
        response.set_header("Retry-After", "10");
        response.set_content("Too many live pages are open; try again shortly.\n",
                             "text/plain; charset=utf-8");
        return;
    }
    const std::optional<std::uint64_t> generation =
        whole_number(request.get_param_value("generation"));
    const std::optional<std::uint64_t> from = whole_number(request.get_param_value("from"));
    auto cursor = std::make_shared<stream_cursor>(
        p.flight->place_stream(request.get_header_value("Last-Event-ID"), generation, from));
    response.set_header("X-Accel-Buffering", "no");
    live_flight& events = *p.flight;
    const std::chrono::milliseconds heartbeat = p.settings.heartbeat;
    response.set_chunked_content_provider(
        "text/event-stream",
        [&events, cursor, heartbeat](std::size_t, httplib::DataSink& sink) {
            std::string out;
            if (!events.next_events(*cursor, out, heartbeat)) return false;
            return sink.write(out.data(), out.size());
        },
        [&events](bool) { events.leave_stream(); });
}

void serve_look(const server_parts& p, const httplib::Request& request, httplib::Response& response)
{
    std::optional<double> latitude = real_number(request.get_param_value("latitude"));
    const std::optional<double> longitude = real_number(request.get_param_value("longitude"));
    std::optional<double> altitude;
    if (request.has_param("altitude")) {
        altitude = real_number(request.get_param_value("altitude"));
        if (!altitude) latitude.reset();  // given, but no number
    }
    if (!latitude || !longitude || *latitude < -90 || *latitude > 90 || *longitude < -180 ||
        *longitude > 180) {
        response.status = 400;
        response.set_content("look.json wants latitude (-90 to 90), longitude (-180 to 180) "
                             "and optionally altitude, in degrees and metres.\n",
                             "text/plain; charset=utf-8");
        return;
    }
    station_option station;
    station.latitude = *latitude;
    station.longitude = *longitude;
    station.altitude = altitude.value_or(0);
    station.altitude_given = altitude.has_value();
    response.set_content(json_text(p.flight->look_from(station)), "application/json");
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

}  // namespace

map_server::map_server(live_flight& flight, server_settings settings)
    : parts_(std::make_unique<server_parts>())
{
    server_parts& p = *parts_;
    p.flight = &flight;
    p.settings = std::move(settings);
    p.leaflet = load_leaflet(p.settings.leaflet_directory, p.missing);
    const std::size_t workers = p.settings.workers;
    const std::size_t queued = p.settings.queued_connections;
    p.server.new_task_queue = [workers, queued] { return new bounded_pool(workers, queued); };
    p.server.set_keep_alive_max_count(20);
    p.server.set_keep_alive_timeout(5);
    p.server.set_read_timeout(5);
    p.server.set_write_timeout(5);
    p.server.set_payload_max_length(std::size_t{16} * 1024);  // nothing served takes a body
    p.server.set_tcp_nodelay(true);  // an event is one small write: send it at once
    p.server.Get(".*", [&p](const httplib::Request& request, httplib::Response& response) {
        handle(p, request, response);
    });
    p.server.set_error_handler(httplib::Server::HandlerWithResponse(
        [](const httplib::Request&, httplib::Response& response) {
            if (!response.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
            response.set_content("HTTP status " + std::to_string(response.status) + "\n",
                                 "text/plain; charset=utf-8");
            return httplib::Server::HandlerResponse::Handled;
        }));
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
    if (p.settings.port == 0) {
        const int taken = p.server.bind_to_any_port(p.settings.host);
        if (taken > 0) p.port = static_cast<std::uint16_t>(taken);
    } else if (p.server.bind_to_port(p.settings.host, p.settings.port)) {
        p.port = p.settings.port;
    }
    if (p.port != 0) p.server.widen_backlog();
    if (p.port == 0) {
        problem = "cannot serve on " + host_for_url(p.settings.host, p.settings.port) + ": " +
                  bind_failure(p.settings.host, p.settings.port);
        return false;
    }
    return true;
}

std::uint16_t map_server::port() const
{
    return parts_->port;
}

bool map_server::serve()
{
    server_parts& p = *parts_;
    {
        const std::lock_guard lock(p.stopping);
        if (p.stopped) return true;
        p.serving = true;
    }
    const bool listened = p.server.listen_after_bind();
    p.served = true;
    return listened;
}

void map_server::stop()
{
    server_parts& p = *parts_;
    p.flight->close();
    {
        const std::lock_guard lock(p.stopping);
        p.stopped = true;
        if (!p.serving) return;
    }
    while (!p.server.is_running() && !p.served) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    p.server.stop();
}

const std::vector<std::string>& map_server::missing_files() const
{
    return parts_->missing;
}
