// Server-Sent Events read back from their text, for tests that look at
// what a stream said.
#pragma once

#include <string>
#include <vector>

struct sse_event {
    std::string event = "message";
    std::string id;
    std::string data;
};

// Takes the complete events (each ended by an empty line) off the front
// of `text`, leaving a partial one there.
std::vector<sse_event> take_sse_events(std::string& text);
