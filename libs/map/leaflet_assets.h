// Leaflet, served from the distribution's package (libjs-leaflet) so that
// the page needs no connection. Only the files on a fixed list are read,
// once at start-up; no request names a file on disk.
#pragma once

#include <map>
#include <string>
#include <vector>

struct served_file {
    std::string content_type;
    std::string body;
};

// The listed files under `directory`, keyed by the path they are served
// at ("/leaflet/leaflet.js", "/leaflet/images/layers.png", ...). The paths
// of those that could not be read go to `missing`.
std::map<std::string, served_file> load_leaflet(const std::string& directory,
                                                std::vector<std::string>& missing);
