// The live page's own files (libs/map/page/), built into the program.
#pragma once

#include <span>
#include <string_view>

struct page_asset {
    std::string_view path;  // "/" for index.html, "/map.js", ...
    std::string_view content_type;
    std::string_view body;
};

std::span<const page_asset> page_assets();
