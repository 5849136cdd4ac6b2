// The live map's HTTP server: the page and Leaflet from memory, the
// flight's documents, and one Server-Sent Events stream per open page.
// Connections are bounded: a fixed set of worker threads, a bounded queue
// of accepted connections behind them (the listener waits while it is
// full), and a bound on event streams below the number of workers, so that
// pages that stay open never keep a new page from loading.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "live_flight.h"
#include "map_options.h"

#ifndef ZARIM_LEAFLET_DIR
#define ZARIM_LEAFLET_DIR "/usr/share/javascript/leaflet"
#endif

struct server_settings {
    std::string host = "127.0.0.1";
    std::uint16_t port = 8080;  // 0: any free port
    std::string tiles;
    bool tiles_given = false;
    std::optional<station_option> station;
    std::string leaflet_directory = ZARIM_LEAFLET_DIR;
    std::size_t workers = 48;
    std::size_t queued_connections = 64;
    std::size_t streams = 32;  // open pages at once; below `workers`
    // A stream with nothing to say sends a clock event this often, which
    // also finds pages that went away without closing their connection.
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
