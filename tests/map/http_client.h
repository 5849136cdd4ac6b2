// A plain HTTP/1.1 client over a loopback socket, written for tests: it
// sends exactly the request target it is given (no normalising of ".."),
// and reads event streams a piece at a time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "map/sse_text.h"

struct http_response {
    int status = 0;  // 0: no response at all
    std::string headers;  // the header lines, as sent
    std::string body;  // de-chunked

    std::string header(const std::string& name) const;  // "" when absent
};

// One request on a fresh connection, read to the end.
http_response http_request(std::uint16_t port, const std::string& method, const std::string& target,
                           const std::string& extra_headers = "");
http_response http_get(std::uint16_t port, const std::string& target,
                       const std::string& extra_headers = "");

// Sends `bytes` as they are (one write, or as much of it as the server
// takes), then reads the answers until the server ends the connection or
// `expected` answers have come. For requests no ordinary client sends.
struct raw_exchange {
    std::vector<http_response> responses;
    std::size_t sent = 0;  // bytes the server took
    bool closed = false;  // the server ended the connection
};
raw_exchange raw_requests(std::uint16_t port, const std::string& bytes, std::size_t expected = 1);

// An open /events stream.
class event_stream {
public:
    event_stream() = default;
    ~event_stream();
    event_stream(const event_stream&) = delete;
    event_stream& operator=(const event_stream&) = delete;

    // Connects and reads the response head. The status is 200 for a stream.
    int open(std::uint16_t port, const std::string& target, const std::string& extra_headers = "");
    // The events that arrive within `milliseconds`, stopping early once
    // `enough` frame events have come (0: wait the whole time).
    std::vector<sse_event> read(int milliseconds, std::size_t enough = 0);
    // Whether the server has ended the stream.
    bool ended() const { return ended_; }
    void close();

private:
    bool fill(int milliseconds);

    int fd_ = -1;
    std::string raw_;  // bytes read but not yet de-chunked
    std::string text_;  // de-chunked event text not yet parsed
    bool ended_ = false;
};
