#include "map/sse_text.h"

std::vector<sse_event> take_sse_events(std::string& text)
{
    std::vector<sse_event> events;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find("\n\n", start);
        if (end == std::string::npos) {
            text.erase(0, start);  // once, however many events were taken
            return events;
        }
        const std::string block = text.substr(start, end + 1 - start);
        start = end + 2;
        sse_event event;
        bool any = false;
        for (std::size_t at = 0; at < block.size();) {
            const std::size_t line_end = block.find('\n', at);
            const std::string line = block.substr(at, line_end - at);
            at = line_end + 1;
            if (line.empty() || line.front() == ':') continue;  // a comment
            const std::size_t colon = line.find(':');
            const std::string field = line.substr(0, colon);
            std::string value = colon == std::string::npos ? "" : line.substr(colon + 1);
            if (!value.empty() && value.front() == ' ') value.erase(0, 1);
            if (field == "event") event.event = value;
            if (field == "id") event.id = value;
            if (field == "data") event.data += (event.data.empty() ? "" : "\n") + value;
            any = true;
        }
        if (any) events.push_back(event);
    }
}
