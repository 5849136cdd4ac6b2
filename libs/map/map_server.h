// The live map's HTTP server: the page and Leaflet from memory, the
// flight's documents, and the live pages' Server-Sent Events. It may be
// opened to a shared network, so it answers only to its own names (see
// allowed_hosts.h), and its transport (http_server.h) keeps every
// connection, request and answer within fixed bounds.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "http_server.h"
#include "live_flight.h"
#include "map_options.h"

#ifndef ZARIM_LEAFLET_DIR
#define ZARIM_LEAFLET_DIR "/usr/share/javascript/leaflet"
#endif

struct server_settings {
    std::string host = "127.0.0.1";
    std::uint16_t port = 8080;  // 0: any free port
    std::vector<std::string> allowed_hosts;  // names besides the address and localhost
    std::string tiles;
    bool tiles_given = false;
    std::optional<station_option> station;
    std::string leaflet_directory = ZARIM_LEAFLET_DIR;
    http_limits limits;
    // Live pages' streams at once. A browser shares one among its tabs.
    std::size_t streams = 32;
    // A stream with nothing to say sends a clock event this often.
    std::chrono::milliseconds heartbeat{10000};
    int kml_refresh_seconds = 5;
};

struct server_parts;

class map_server {
public:
    map_server(live_flight& flight, server_settings settings);
    ~map_server();
    map_server(const map_server&) = delete;
    map_server& operator=(const map_server&) = delete;

    // Takes the address. False with `problem` saying why it cannot be had.
    bool bind(std::string& problem);
    [[nodiscard]] std::uint16_t port() const;
    // Serves until stop(). False when serving could not start.
    bool serve();
    // Ends serve() and every open stream. Safe from any thread.
    void stop();

    // Leaflet's files that could not be read at start-up.
    [[nodiscard]] const std::vector<std::string>& missing_files() const;

private:
    std::unique_ptr<server_parts> parts_;
};
