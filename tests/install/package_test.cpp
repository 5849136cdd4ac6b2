// The Debian package, built by CPack from this build tree and read back with
// dpkg-deb as apt would see it.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>

#include "install/command.h"
#include "install/install_layout.h"
#include "zarim_version.h"

namespace {

class Package : public testing::Test {
protected:
    void SetUp() override
    {
        folder = make_temporary_folder("package");
        ASSERT_FALSE(folder.empty());
        // The build tree as it stands: packaging must not build anything.
        const command_result cpack =
            run_command({ZARIM_CPACK, "--config", ZARIM_BINARY_DIR "/CPackConfig.cmake", "-B", folder});
        ASSERT_EQ(cpack.status, 0) << describe(cpack);
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            if (entry.path().extension() == ".deb") package = entry.path().string();
        }
        ASSERT_FALSE(package.empty()) << "no .deb in " << folder << "\n" << describe(cpack);
    }
    void TearDown() override { remove_tree(folder); }

    std::string field(const std::string& name) const
    {
        const command_result value = run_command({"dpkg-deb", "--field", package, name});
        EXPECT_EQ(value.status, 0) << describe(value);
        std::string text = value.out;
        while (!text.empty() && text.back() == '\n') text.pop_back();
        return text;
    }

    std::string folder;
    std::string package;
};

bool installs(const std::string& program)
{
    const std::vector<std::string> programs = installed_programs();
    return std::find(programs.begin(), programs.end(), program) != programs.end();
}

TEST_F(Package, control_fields_name_the_release_its_maintainer_and_dependencies)
{
    EXPECT_EQ(field("Package"), "zarim");
    EXPECT_EQ(field("Version"), zarim_version);
    EXPECT_EQ(field("Architecture") + "\n", run_command({"dpkg", "--print-architecture"}).out);
    EXPECT_TRUE(std::regex_match(field("Maintainer"), std::regex(".+ <[^ @]+@[^ @]+>"))) << field("Maintainer");
    EXPECT_FALSE(field("Section").empty());
    EXPECT_FALSE(field("Priority").empty());

    // Computed from the binaries, so the C and C++ run-time libraries are
    // there with the versions the build needs.
    const std::string depends = field("Depends");
    EXPECT_TRUE(std::regex_search(depends, std::regex("(^|, )libc6 \\(>= [0-9.]+\\)"))) << depends;
    EXPECT_TRUE(std::regex_search(depends, std::regex("(^|, )libstdc\\+\\+6 \\(>= [0-9.]+\\)"))) << depends;
    if (installs("zarim-map")) {
        EXPECT_TRUE(std::regex_search(depends, std::regex("(^|, )libjs-leaflet(,|$| )"))) << depends;
    }
}

TEST_F(Package, description_has_a_summary_and_a_long_text_of_short_lines)
{
    std::istringstream description(field("Description"));
    std::string summary;
    std::getline(description, summary);
    EXPECT_FALSE(summary.empty());
    EXPECT_LE(summary.size(), 80U) << summary;
    std::vector<std::string> lines;
    for (std::string line; std::getline(description, line);) {
        // dpkg-deb shows continuation lines with their leading blank.
        EXPECT_TRUE(line.starts_with(" ")) << line;
        EXPECT_LE(line.size(), 80U) << line;
        lines.push_back(line);
    }
    ASSERT_GE(lines.size(), 3U) << "no long description";
    EXPECT_NE(lines.back(), " .") << "a paragraph break with nothing after it";
}

TEST_F(Package, holds_what_an_install_puts_down_owned_by_root)
{
    const command_result listing = run_command({"dpkg-deb", "--contents", package});
    ASSERT_EQ(listing.status, 0) << describe(listing);
    std::set<std::string> files;
    std::istringstream lines(listing.out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string mode, owner, size, date, time, path;
        fields >> mode >> owner >> size >> date >> time >> path;
        EXPECT_EQ(owner, "root/root") << line;
        if (mode.starts_with("d")) continue;
        ASSERT_TRUE(path.starts_with("./")) << line;
        path.erase(0, 2);
        files.insert(path);
        const bool program = path.starts_with("usr/bin/");
        EXPECT_EQ(mode, program ? "-rwxr-xr-x" : "-rw-r--r--") << line;
    }
    EXPECT_EQ(files, expected_files());
}

}  // namespace
