#include "leaflet_assets.h"

#include <fstream>
#include <sstream>

namespace {

struct listed_file {
    const char* name;  // under the package's directory and under /leaflet/
    const char* content_type;
};

// What leaflet.js and leaflet.css load: the script, its styles and the
// images the styles name.
constexpr listed_file listed[] = {
    {"leaflet.js", "text/javascript; charset=utf-8"},
    {"leaflet.css", "text/css; charset=utf-8"},
    {"images/layers.png", "image/png"},
    {"images/layers-2x.png", "image/png"},
    {"images/marker-icon.png", "image/png"},
    {"images/marker-icon-2x.png", "image/png"},
    {"images/marker-shadow.png", "image/png"},
};

}  // namespace

std::map<std::string, served_file> load_leaflet(const std::string& directory,
                                                std::vector<std::string>& missing)
{
    std::map<std::string, served_file> files;
    for (const listed_file& file : listed) {
        const std::string path = directory + "/" + file.name;
        std::ifstream in(path, std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        if (!in || bytes.str().empty()) {
            missing.push_back(path);
            continue;
        }
        files[std::string("/leaflet/") + file.name] = served_file{file.content_type, bytes.str()};
    }
    return files;
}
