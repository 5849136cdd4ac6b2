#include "export_run.h"

#include <cerrno>
#include <system_error>
#include <filesystem>
#include <fstream>
#include <future>
#include <utility>

#include "documents.h"
#include "flight_reading.h"
#include "summary.h"

std::string output_stem(const std::string& first_log)
{
    std::string name = std::filesystem::path(first_log).filename().string();
    if (name.size() > 4 && name.ends_with(".txt")) name.resize(name.size() - 4);
    return name;
}

std::string write_file(const std::string& path, const std::string& content)
{
    const std::string temporary = path + ".part";
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        if (!file) return std::generic_category().message(errno);
        file.write(content.data(), static_cast<std::streamsize>(content.size()));
        file.close();
        if (!file) {
            std::string reason = std::generic_category().message(errno);
            std::filesystem::remove(temporary);
            return reason;
        }
    }
    std::error_code error;
    std::filesystem::rename(temporary, path, error);
    if (error) {
        std::filesystem::remove(temporary, error);
        return error.message();
    }
    return {};
}

std::string export_document(export_format format, const flight& f, const std::string& title)
{
    switch (format) {
    case export_format::gpx:
        return xml_text(gpx_document(f, title));
    case export_format::kml:
        return xml_text(kml_document(f, title));
    case export_format::geojson:
        return geojson_document(f, title).dump(1, '\t') + "\n";
    case export_format::csv:
        return csv_document(f);
    case export_format::svg:
        return xml_text(svg_profile(f, title));
    }
    return {};
}

int run_export(const export_request& request, std::ostream& out, std::ostream& errors)
{
    int status = 0;
    log_report report;
    report.unreadable_log = [&](const std::string& path, const std::string& failure) {
        errors << "zarim-export: " << path << ": " << failure << '\n';
        status = 1;
    };
    report.unreadable_line = [&](const std::string& path, std::uint64_t line, const char* reason) {
        errors << path << ':' << line << ": " << reason << '\n';
        status = 1;
    };
    const flight f = read_flight(request.logs, request.utc_offset, report);
    const flight_summary s = summarize(f);

    std::vector<std::string> written;
    if (f.points.empty()) {
        errors << "zarim-export: no usable position in the logs; no file written\n";
        status = 1;
    } else {
        const std::string title = output_stem(request.logs.front());
        std::error_code error;
        std::filesystem::create_directories(request.output_dir, error);
        if (error) {
            errors << "zarim-export: cannot make " << request.output_dir << ": " << error.message() << '\n';
            status = 1;
        } else {
            // The documents only read the flight, so they are made side by
            // side; a day's log keeps both cores busy.
            std::vector<std::pair<std::string, std::future<std::string>>> files;
            for (const export_format format : request.formats) {
                std::string path =
                    (std::filesystem::path(request.output_dir) / (title + "." + format_name(format)))
                        .string();
                std::future<std::string> failure = std::async(std::launch::async, [&f, &title, format, path] {
                    return write_file(path, export_document(format, f, title));
                });
                files.emplace_back(std::move(path), std::move(failure));
            }
            for (auto& [path, outcome] : files) {
                const std::string failure = outcome.get();
                if (failure.empty()) {
                    written.push_back(path);
                } else {
                    errors << "zarim-export: cannot write " << path << ": " << failure << '\n';
                    status = 1;
                }
            }
        }
    }
    if (request.json) {
        out << summary_json(f, s, request.logs, written).dump(2) << '\n';
    } else {
        out << summary_text(f, s, request.logs, written);
    }
    return status;
}
