// The options every program that talks to the broker takes alike: where it
// is, how to trust it, and who logs in. zarim-share and zarim-map parse them
// with the same code, so they read and refuse the same way.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>

struct broker_address {
    std::string host;  // a name or an address, IPv6 without its brackets
    std::uint16_t port = 1883;
    bool tls = false;  // mqtts://
};

struct broker_login {
    broker_address broker;
    std::string cafile;  // empty: the system's certificate authorities
    std::string certfile;  // a client certificate, with its key
    std::string keyfile;
    std::string username;
    std::string password_file;
};

// What the command line gave, before it is checked.
struct broker_option_texts {
    std::string url;
    broker_login login;
};

// --broker, --cafile, --cert, --key, --username, --password-file.
void add_broker_options(CLI::App& app, broker_option_texts& texts);
// Whether --broker was given at all.
bool broker_given(const CLI::App& app);
// Reads the URL into texts.login.broker and checks that the rest goes
// together (TLS files only with mqtts://, a certificate with its key, a
// password file with a user). False with `problem` otherwise.
bool check_broker_options(const CLI::App& app, broker_option_texts& texts, std::string& problem);

// "mqtt://HOST[:PORT]" (port 1883) or "mqtts://HOST[:PORT]" (8883), HOST an
// IPv6 address in brackets; false with `problem` otherwise.
bool parse_broker_url(const std::string& text, broker_address& broker, std::string& problem);

// mqtt://HOST:PORT, for messages.
std::string broker_url(const broker_address& broker);

// The password: the file's first line, without its line end. False with
// `problem` when it cannot be read or is empty.
bool read_password_file(const std::string& path, std::string& password, std::string& problem);
