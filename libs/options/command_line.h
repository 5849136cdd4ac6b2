// The companion programs' command lines, the GNU way on CLI11: long
// options, "--opt=value" and "--opt value" alike (negative numbers and
// offsets such as -03:00 included), the last of a repeated option wins,
// "--" ends the options, and a usage error is one plain sentence.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

// No help flag of CLI11's own (each program writes its --help text).
void use_companion_conventions(CLI::App& app);

// Adds a valued long option whose repetitions keep the last value.
CLI::Option* add_valued(CLI::App& app, const std::string& name, std::string& value);

// Parses argv[1..argc-1]. Returns false on a bad command line with
// `problem` saying why, without the program's name or a line end:
// "unknown option --x", "missing value for --y", "--z takes no value",
// "empty value for --v" (for "--v=", which CLI11 would fill from the next
// argument),
// "unexpected argument 'w'", or CLI11's own text for anything else. A value
// that begins with "--" is taken for the next option, as the companions
// never have such values, so "--rate --count 3" is a missing rate.
bool parse_command_line(CLI::App& app, int argc, const char* const* argv, std::string& problem);
