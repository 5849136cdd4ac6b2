#include "install/install_layout.h"

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "install/command.h"

std::vector<std::string> installed_programs()
{
    std::vector<std::string> programs;
    std::istringstream list(ZARIM_INSTALLED_PROGRAMS);
    for (std::string program; std::getline(list, program, ',');) programs.push_back(program);
    return programs;
}

std::set<std::string> expected_files()
{
    std::set<std::string> files{"usr/share/doc/zarim/README.md", "usr/share/doc/zarim/copyright",
                                "usr/share/doc/zarim/changelog.gz"};
    for (const std::string& program : installed_programs()) {
        files.insert("usr/bin/" + program);
        files.insert("usr/share/man/man1/" + program + ".1.gz");
    }
    if (files.contains("usr/bin/zarim-share")) {
        files.insert("usr/share/doc/zarim/examples/mosquitto-zarim.conf");
        files.insert("usr/share/doc/zarim/examples/mosquitto-zarim.acl");
    }
    return files;
}

std::set<std::string> files_under(const std::string& root)
{
    std::set<std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        if (!entry.is_directory() || entry.is_symlink()) {
            files.insert(std::filesystem::relative(entry.path(), root).string());
        }
    }
    return files;
}

std::string make_temporary_folder(const std::string& purpose)
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/zarim-" + purpose + "-XXXXXX";
    return mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
}

void remove_tree(const std::string& path)
{
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
}

std::string install_into(const std::string& root)
{
    const command_result install =
        run_command({ZARIM_CMAKE, "--install", ZARIM_BINARY_DIR, "--prefix", "/usr", "--component", "zarim"},
                    {"DESTDIR=" + root});
    return install.status == 0 ? std::string() : describe(install);
}
