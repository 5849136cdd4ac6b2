// Debian's Chromium, headless, driven over the DevTools protocol through a
// pipe (--remote-debugging-pipe): no port, no WebSocket, nothing to
// download. A fresh profile each time, and every host name mapped to
// nowhere, so that the browser reaches only loopback addresses.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

class headless_chromium {
public:
    headless_chromium() = default;
    ~headless_chromium();
    headless_chromium(const headless_chromium&) = delete;
    headless_chromium& operator=(const headless_chromium&) = delete;

    // The browser to run: $ZARIM_CHROMIUM, else /usr/bin/chromium; empty
    // when there is none.
    static std::string browser_path();

    // Starts the browser with a window of this size and opens one page.
    bool start(int width, int height, std::string& problem);
    void stop();

    bool navigate(const std::string& url);
    // Runs `source` in every page the current tab loads, before its scripts.
    bool run_before_each_page(const std::string& source);
    // Opens another tab of the same browser at `url` and sends the calls
    // below to it; use_tab() goes to another, close_tab() closes one.
    bool open_tab(const std::string& url);
    void use_tab(std::size_t index) { session_ = tabs_.at(index).session; }
    bool close_tab(std::size_t index);

    // The value of a JavaScript expression (a promise is awaited); null
    // with `error` set when it threw or the browser did not answer.
    nlohmann::json evaluate(const std::string& expression, std::string* error = nullptr);
    // Evaluates `expression` until it is truthy or `timeout` has passed.
    bool wait_for(const std::string& expression, std::chrono::milliseconds timeout);
    // A PNG of the page as it is drawn now.
    bool screenshot(const std::string& path);
    // Lets the page at `origin` know the device's position.
    bool set_position(const std::string& origin, double latitude, double longitude, double altitude);

    // Uncaught exceptions and console errors the page has had.
    const std::vector<std::string>& page_errors() const { return page_errors_; }

private:
    nlohmann::json call(const std::string& method, const nlohmann::json& params, bool to_page,
                        std::chrono::milliseconds timeout = std::chrono::seconds(30));
    bool read_message(nlohmann::json& message, std::chrono::steady_clock::time_point deadline);
    void note_event(const nlohmann::json& message);

    pid_t pid_ = -1;
    int to_browser_ = -1;
    int from_browser_ = -1;
    std::string buffer_;
    int next_id_ = 0;
    bool attach(const nlohmann::json& target);

    struct tab {
        std::string target;
        std::string session;
    };
    std::vector<tab> tabs_;
    std::string session_;  // the tab the calls go to
    int width_ = 0;
    int height_ = 0;
    std::string profile_;
    std::vector<std::string> page_errors_;
};
