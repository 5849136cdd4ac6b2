// One run of zarim-export: read, merge, write, summarise.
#pragma once

#include <functional>
#include <ostream>
#include <string>

#include "export_options.h"
#include "flight_model.h"

// The files' shared name: the first log's name without its folder and
// without ".txt" ("QLT_20261208").
std::string output_stem(const std::string& first_log);

// Writes a file through `write` into a temporary file beside it, renamed
// over it once whole, so a reader never sees half a file. Returns an empty
// string or why it failed.
std::string write_file(const std::string& path, const std::function<void(std::ostream&)>& write);

// Writes the document of one format; the CSV carries the landing
// predicted with `prediction`.
void write_document(export_format format, std::ostream& out, const flight& f, const std::string& title,
                    const prediction_settings& prediction = {});

// The same as text, for a flight small enough to hold it.
std::string export_document(export_format format, const flight& f, const std::string& title,
                            const prediction_settings& prediction = {});

// Reports problems as "FILE:LINE: reason" (and whole logs as "zarim-export:
// FILE: reason") on `errors`, the summary on `out`; returns the exit status.
int run_export(const export_request& request, std::ostream& out, std::ostream& errors);
