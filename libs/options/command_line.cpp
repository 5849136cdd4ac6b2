#include "command_line.h"

#include <string_view>

namespace {

const CLI::Option* long_option(const CLI::App& app, std::string_view name)
{
    for (const CLI::Option* option : app.get_options()) {
        for (const std::string& long_name : option->get_lnames()) {
            if (name == long_name) return option;
        }
    }
    return nullptr;
}

// What CLI11 lets through but GNU programs refuse: a flag given a value,
// and a valued option followed by another option instead of its value.
bool find_gnu_misuse(const CLI::App& app, int argc, const char* const* argv, std::string& problem)
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--") return false;
        if (!argument.starts_with("--")) continue;
        const std::size_t equals = argument.find('=');
        const std::string_view name = argument.substr(2, equals == std::string_view::npos ? std::string_view::npos : equals - 2);
        const CLI::Option* option = long_option(app, name);
        if (option == nullptr) continue;
        const bool flag = option->get_expected_max() == 0;
        if (flag && equals != std::string_view::npos) {
            problem = "--" + std::string(name) + " takes no value";
            return true;
        }
        if (!flag && equals == argument.size() - 1) {
            problem = "empty value for --" + std::string(name);
            return true;
        }
        if (!flag && equals == std::string_view::npos &&
            (i + 1 == argc || std::string_view(argv[i + 1]).starts_with("--"))) {
            problem = "missing value for --" + std::string(name);
            return true;
        }
        if (!flag && equals == std::string_view::npos) ++i;  // its value
    }
    return false;
}

}  // namespace

void use_companion_conventions(CLI::App& app)
{
    app.set_help_flag();
    app.set_help_all_flag();
}

CLI::Option* add_valued(CLI::App& app, const std::string& name, std::string& value)
{
    return app.add_option(name, value)->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
}

bool parse_command_line(CLI::App& app, int argc, const char* const* argv, std::string& problem)
{
    if (find_gnu_misuse(app, argc, argv, problem)) return false;
    try {
        app.parse(argc, argv);
    } catch (const CLI::ExtrasError&) {
        const std::vector<std::string> extras = app.remaining();
        const std::string first = extras.empty() ? std::string() : extras.front();
        problem = first.starts_with("-") ? "unknown option " + first
                                         : "unexpected argument '" + first + "'";
        return false;
    } catch (const CLI::ParseError& error) {
        problem = error.what();
        return false;
    }
    return true;
}
