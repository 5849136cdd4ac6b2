// zarim-export: the receiver's daily logs as a flight: GPX, KML, GeoJSON,
// CSV and an SVG profile, and a summary for the chase team.
#include <exception>
#include <iostream>

#include "export_options.h"
#include "export_run.h"
#include "zarim_version.h"

int main(int argc, char** argv)
{
    try {
        export_request request;
        std::string problem;
        if (!parse_export_options(argc, argv, request, problem)) {
            std::cerr << "zarim-export: " << problem << " (see --help)\n";
            return 2;
        }
        if (request.help) {
            std::cout << export_usage();
        } else if (request.version) {
            std::cout << "zarim-export " << zarim_version << '\n';
        } else {
            const int status = run_export(request, std::cout, std::cerr);
            std::cout.flush();
            return std::cout ? status : 1;
        }
        std::cout.flush();
        return std::cout ? 0 : 1;
    } catch (const std::exception& error) {
        std::cerr << "zarim-export: " << error.what() << '\n';
    } catch (...) {
        std::cerr << "zarim-export: stopped by an unexpected error\n";
    }
    return 1;
}
