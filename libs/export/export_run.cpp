#include "export_run.h"

#include <array>
#include <cerrno>
#include <cmath>
#include <exception>
#include <filesystem>
#include <fstream>
#include <future>
#include <set>
#include <sstream>
#include <system_error>
#include <utility>

#include "documents.h"
#include "fields.h"
#include "flight_parts.h"
#include "flight_time.h"
#include "flight_reading.h"
#include "landing_predictions.h"
#include "summary.h"
#include "text_safety.h"

namespace {

// One flight of the run, and the name its files go by.
struct flight_part {
    flight f;
    std::string title;
};

// The records of `logs` from `first` to `last` on the receiver's clock: a
// flight's share of logs that hold several.
std::vector<log_reading> records_between(const std::vector<log_reading>& logs, std::int64_t first,
                                         std::int64_t last)
{
    std::vector<log_reading> part;
    part.reserve(logs.size());
    for (const log_reading& log : logs) {
        log_reading share;
        share.path = log.path;
        share.date = log.date;
        for (const dated_record& r : log.records) {
            if (r.local_time >= first && r.local_time <= last) share.records.push_back(r);
        }
        part.push_back(std::move(share));
    }
    return part;
}

// Each flight on its own, read again from the logs: a run that splits is
// rare, and the whole reading keeps no records. The flights' names: the
// first frame's log's, and its date when another flight already has it.
std::vector<flight_part> split_flight(const flight& whole, const std::vector<std::string>& paths,
                                      const std::vector<std::size_t>& starts)
{
    std::vector<log_reading> logs;
    logs.reserve(paths.size());
    for (const std::string& path : paths) logs.push_back(read_log_file(path));
    std::vector<flight_part> parts;
    std::set<std::string> titles;
    for (std::size_t k = 0; k < starts.size(); ++k) {
        const std::size_t end = k + 1 < starts.size() ? starts[k + 1] : whole.points.size();
        const flight_point& first = whole.points[starts[k]];
        std::string title = output_stem(logs[first.source].path);
        if (!titles.insert(title).second) {
            title += "-" + iso8601_local(first.local_time, 0).substr(0, 10);
            titles.insert(title);
        }
        flight f = build_flight(records_between(logs, first.local_time, whole.points[end - 1].local_time),
                                whole.utc_offset);
        parts.push_back({std::move(f), std::move(title)});
    }
    return parts;
}

std::string days_apart_text(const flight& f, std::size_t start)
{
    const flight_point& before = f.points[start - 1];
    const flight_point& after = f.points[start];
    const std::int64_t seconds = after.local_time - before.local_time;
    constexpr std::int64_t day = 86400;
    const std::string span =
        seconds >= 2 * day ? std::to_string(seconds / day) + " days" : duration_text(seconds);
    return iso8601_local(before.local_time, f.utc_offset) + " and " +
           iso8601_local(after.local_time, f.utc_offset) + " (" + span + ")";
}

// Writes every format of one flight side by side: the writers only read
// the flight, and a day's log keeps both cores busy.
int write_files(const export_request& request, const flight_part& part,
                std::vector<std::string>& written, std::ostream& errors)
{
    std::error_code error;
    std::filesystem::create_directories(request.output_dir, error);
    if (error) {
        errors << "zarim-export: cannot make " << shown_text(request.output_dir) << ": "
               << error.message() << '\n';
        return 1;
    }
    std::vector<std::pair<std::string, std::future<std::string>>> files;
    for (const export_format format : request.formats) {
        std::string path =
            (std::filesystem::path(request.output_dir) / (part.title + "." + format_name(format))).string();
        std::future<std::string> failure =
            std::async(std::launch::async, [&part, &request, format, path] {
                return write_file(path, [&](std::ostream& out) {
                    write_document(format, out, part.f, part.title, request.prediction);
                });
            });
        files.emplace_back(std::move(path), std::move(failure));
    }
    int status = 0;
    for (auto& [path, outcome] : files) {
        const std::string failure = outcome.get();
        if (failure.empty()) {
            written.push_back(path);
        } else {
            errors << "zarim-export: cannot write " << shown_text(path) << ": " << failure << '\n';
            status = 1;
        }
    }
    return status;
}

}  // namespace

std::string output_stem(const std::string& first_log)
{
    std::string name = std::filesystem::path(first_log).filename().string();
    if (name.size() > 4 && name.ends_with(".txt")) name.resize(name.size() - 4);
    return name;
}

std::string write_file(const std::string& path, const std::function<void(std::ostream&)>& write)
{
    const std::string temporary = path + ".part";
    {
        std::ofstream file;
        std::vector<char> buffer(std::size_t{1} << 20);
        file.rdbuf()->pubsetbuf(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        file.open(temporary, std::ios::binary | std::ios::trunc);
        if (!file) return std::generic_category().message(errno);
        try {
            write(file);
        } catch (const std::exception& error) {
            file.close();
            std::error_code ignored;
            std::filesystem::remove(temporary, ignored);
            return error.what();
        }
        file.close();
        if (!file) {
            std::string reason = std::generic_category().message(errno);
            std::error_code ignored;
            std::filesystem::remove(temporary, ignored);
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

void write_document(export_format format, std::ostream& out, const flight& f, const std::string& title,
                    const prediction_settings& prediction)
{
    switch (format) {
    case export_format::gpx:
        write_gpx(out, f, title);
        return;
    case export_format::kml:
        write_kml(out, f, title);
        return;
    case export_format::geojson:
        write_geojson(out, f, title);
        return;
    case export_format::csv:
        write_csv(out, f, prediction);
        return;
    case export_format::svg:
        write_svg_profile(out, f, title);
        return;
    }
}

std::string export_document(export_format format, const flight& f, const std::string& title,
                            const prediction_settings& prediction)
{
    std::ostringstream text;
    write_document(format, text, f, title, prediction);
    return text.str();
}

int run_export(const export_request& request, std::ostream& out, std::ostream& errors)
{
    int status = 0;
    log_report report;
    report.unreadable_log = [&](const std::string& path, const std::string& failure) {
        errors << "zarim-export: " << shown_text(path) << ": " << failure << '\n';
        status = 1;
    };
    report.unreadable_line = [&](const std::string& path, std::uint64_t line, const char* reason) {
        errors << shown_text(path) << ':' << line << ": " << reason << '\n';
        status = 1;
    };
    for (const std::string& path : request.logs) {
        if (!is_utf8(path)) {
            errors << "zarim-export: note: the name " << shown_text(path)
                   << " is not UTF-8; the files carry it with U+FFFD in place of the bytes that are not\n";
        }
    }
    flight whole = read_flight(request.logs, request.utc_offset, report);

    if (const std::optional<track_conflict> conflict = tracks_apart(whole)) {
        const flight_point& a = whole.points[conflict->first];
        const flight_point& b = whole.points[conflict->second];
        errors << "zarim-export: " << shown_text(request.logs[a.source]) << " and "
               << shown_text(request.logs[b.source]) << " cannot be one flight: at "
               << iso8601_local(b.local_time, whole.utc_offset) << " they place the payload "
               << decimals_text(conflict->distance / 1000, 0)
               << " km apart; export each on its own. Nothing written.\n";
        return 1;
    }
    const std::vector<std::size_t> starts = flight_starts(whole);
    if (starts.size() > 1 && !request.split_days) {
        errors << "zarim-export: the logs hold " << starts.size()
               << " flights, not one: no frame between " << days_apart_text(whole, starts[1])
               << ". Nothing written: give --split-days to write each flight on its own, or "
                  "export the logs one flight at a time.\n";
        return 1;
    }

    // The whole run's counts go with the first flight; a line read is
    // reported once.
    const flight_counts whole_counts = whole.counts;
    std::vector<flight_part> parts;
    if (starts.size() > 1) {
        parts = split_flight(whole, request.logs, starts);
    } else {
        parts.push_back({std::move(whole), output_stem(request.logs.front())});
    }
    nlohmann::json summaries = nlohmann::json::array();
    for (std::size_t k = 0; k < parts.size(); ++k) {
        flight_part& part = parts[k];
        if (parts.size() > 1) {
            part.f.counts.unreadable_lines = k == 0 ? whole_counts.unreadable_lines : 0;
            part.f.counts.unfinished_lines = k == 0 ? whole_counts.unfinished_lines : 0;
            part.f.counts.unreadable_logs = k == 0 ? whole_counts.unreadable_logs : 0;
        }
        const flight_summary s = summarize(part.f);
        // Beside the files, on a thread of its own: it walks the flight too.
        std::future<prediction_review> review = std::async(std::launch::async, [&part, &request] {
            return review_predictions(part.f, request.prediction);
        });
        std::vector<std::string> written;
        if (part.f.points.empty()) {
            errors << "zarim-export: no usable position in the logs; no file written\n";
            status = 1;
        } else if (write_files(request, part, written, errors) != 0) {
            status = 1;
        }
        const prediction_review said = review.get();
        if (request.json) {
            summaries.push_back(summary_json(part.f, s, request.logs, written, said, request.prediction));
        } else {
            if (k > 0) out << '\n';
            out << summary_text(part.f, s, request.logs, written, said);
        }
    }
    if (request.json) out << json_text(parts.size() > 1 ? summaries : summaries.front(), 2) << '\n';
    return status;
}
