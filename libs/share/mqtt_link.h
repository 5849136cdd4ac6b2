// The connection to the broker, through libmosquitto: one client with a
// persistent session and a stable id, its network thread (which
// reconnects with growing pauses when the connection is lost), and what
// happens on it turned into events for the one thread that acts on them.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "broker_options.h"

struct mosquitto;

struct link_settings {
    broker_address broker;
    std::string client_id;
    std::string username;  // empty: none
    std::string password;
    std::string cafile;
    std::string certfile;
    std::string keyfile;
    int keepalive_seconds = 30;
    unsigned reconnect_min_seconds = 1;
    unsigned reconnect_max_seconds = 30;
    // How long the broker keeps the session while the station is away
    // (MQTT 5; a 3.1.1 broker keeps it as it is configured to).
    std::uint32_t session_expiry_seconds = 7 * 24 * 3600;
};

// The settings to log in as `login` says, with its password read.
link_settings login_settings(const broker_login& login, std::string client_id, std::string password);

struct link_event {
    enum class kind {
        connected,     // flag: the broker still had the session
        refused,       // code: the CONNACK's reason
        lost,          // code: libmosquitto's error
        acknowledged,  // mid
        rejected,      // mid, code: the PUBACK's reason (MQTT 5)
        subscribed,    // code: the granted QoS or the SUBACK's reason
        message,       // topic, text: the payload; flag: retained
        too_large,     // topic, code: the length of a payload not taken
        library_said,  // text: a problem libmosquitto reports (TLS, mostly)
    };
    kind what = kind::lost;
    int code = 0;
    int mid = 0;
    bool flag = false;
    std::string topic;
    std::string text;
};

// Where the events go; called on libmosquitto's network thread.
using link_listener = std::function<void(link_event)>;

enum class mqtt_version { v5, v311 };

class mqtt_link {
public:
    mqtt_link(link_settings settings, link_listener listener);
    ~mqtt_link();
    mqtt_link(const mqtt_link&) = delete;
    mqtt_link& operator=(const mqtt_link&) = delete;

    // Makes the client and its first connection, and starts the network
    // thread. False with `problem` when that cannot work at all: settings
    // libmosquitto refuses, a certificate or key that cannot be loaded, a
    // broker certificate that does not verify. A broker that cannot be
    // reached yet is no failure (`unreachable` says why): the network
    // thread keeps trying.
    bool start(mqtt_version version, std::string& problem, std::string& unreachable);
    // Ends the network thread and the client; start() may follow again.
    void stop();

    // QoS 1, with `mid` set. A message handed over while the connection is
    // down is kept by libmosquitto and sent once it is back, as it is with
    // a message unacknowledged when the connection is lost. False with
    // `problem` when the client did not take it.
    bool publish(const std::string& topic, std::string_view payload, bool retain, int& mid, std::string& problem);
    void subscribe(const std::string& topic);

    // The last problem libmosquitto reported, for a message.
    std::string last_library_problem() const;

private:
    link_settings settings_;
    link_listener listener_;
    mosquitto* client_ = nullptr;
    bool looping_ = false;
    mutable std::mutex problem_mutex_;
    std::string library_problem_;

    friend struct link_callbacks;
};

// libmosquitto's text for one of its error numbers.
std::string mqtt_error_text(int code);

// "Not authorized" and the like, for a CONNACK, PUBACK or SUBACK reason or
// a 3.1.1 CONNACK code.
std::string reason_text(int code, mqtt_version version);
