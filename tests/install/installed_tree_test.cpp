// The programs as `make install` lays them down, run from where they were
// installed rather than from the build tree.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <thread>

#include "e2e/receiver_process.h"
#include "install/command.h"
#include "install/install_layout.h"
#include "zarim_version.h"

namespace {

class InstalledTree : public testing::Test {
protected:
    void SetUp() override
    {
        root = make_temporary_folder("install");
        ASSERT_FALSE(root.empty());
        ASSERT_EQ(install_into(root), "");
    }
    void TearDown() override { remove_tree(root); }

    std::string installed(const std::string& program) const { return root + "/usr/bin/" + program; }

    std::string root;
};

TEST_F(InstalledTree, holds_the_programs_their_pages_and_documents_and_nothing_else)
{
    EXPECT_EQ(files_under(root), expected_files());
    for (const std::string& program : installed_programs()) {
        EXPECT_EQ(access(installed(program).c_str(), X_OK), 0) << program << " cannot be run";
    }
}

TEST_F(InstalledTree, manual_pages_are_compressed_pages_of_this_release)
{
    for (const std::string& program : installed_programs()) {
        const command_result page = run_command({"gzip", "-dc", root + "/usr/share/man/man1/" + program + ".1.gz"});
        ASSERT_EQ(page.status, 0) << describe(page);
        std::string title = program;
        std::transform(title.begin(), title.end(), title.begin(), [](unsigned char c) { return std::toupper(c); });
        // The title line names the page and, in its footer, the release.
        const std::string first_line = page.out.substr(0, page.out.find('\n'));
        EXPECT_TRUE(first_line.starts_with(".TH " + title + " 1 ")) << first_line;
        EXPECT_NE(first_line.find(std::string("\"zarim ") + zarim_version + "\""), std::string::npos)
            << first_line << "\nthe page does not name release " << zarim_version;
    }
}

TEST_F(InstalledTree, companions_answer_version_and_help)
{
    for (const std::string& program : installed_programs()) {
        if (program == "zarim") continue;  // the receiver takes no options
        const command_result version = run_command({installed(program), "--version"});
        EXPECT_EQ(version.status, 0) << program << "\n" << describe(version);
        EXPECT_NE(version.out.find(zarim_version), std::string::npos) << program << "\n" << describe(version);
        const command_result help = run_command({installed(program), "--help"});
        EXPECT_EQ(help.status, 0) << program << "\n" << describe(help);
        EXPECT_NE(help.out.find("--version"), std::string::npos) << program << "\n" << describe(help);
    }
}

// `make install` and `make uninstall` as a user runs them, into a staging
// folder that already has some of the usual folders and a program of
// another package.
TEST(MakeInstall, uninstall_takes_away_all_that_install_brought_and_nothing_else)
{
    const std::string folder = make_temporary_folder("make-install");
    ASSERT_FALSE(folder.empty());
    const std::string root = folder + "/root";
    std::filesystem::create_directories(root + "/usr/share/man");
    std::filesystem::create_directories(root + "/usr/bin");
    std::ofstream(root + "/usr/bin/other") << "another package's program\n";
    const std::vector<std::string> where{"BUILD=" ZARIM_BINARY_DIR, "DESTDIR=" + root, "PREFIX=/usr",
                                         "INSTALL_RECORD=" + folder + "/installed.txt"};
    std::vector<std::string> install{"make", "-C", ZARIM_SOURCE_DIR, "install"};
    install.insert(install.end(), where.begin(), where.end());
    std::vector<std::string> uninstall{"make", "-C", ZARIM_SOURCE_DIR, "uninstall"};
    uninstall.insert(uninstall.end(), where.begin(), where.end());

    const command_result installed = run_command(install);
    ASSERT_EQ(installed.status, 0) << describe(installed);
    std::set<std::string> expected = expected_files();
    expected.insert("usr/bin/other");
    EXPECT_EQ(files_under(root), expected);

    const command_result removed = run_command(uninstall);
    ASSERT_EQ(removed.status, 0) << describe(removed);
    EXPECT_EQ(files_under(root), std::set<std::string>{"usr/bin/other"});
    EXPECT_TRUE(std::filesystem::is_directory(root + "/usr/share/man")) << "a folder it found was taken away";
    EXPECT_FALSE(std::filesystem::exists(root + "/usr/share/man/man1")) << "a folder it made was left behind";
    EXPECT_FALSE(std::filesystem::exists(root + "/usr/share/doc")) << "a folder it made was left behind";

    // Into a staging folder that is not there yet, twice: the second install
    // finds the first one's folders, and they are still the install's.
    std::vector<std::string> fresh{"BUILD=" ZARIM_BINARY_DIR, "DESTDIR=" + folder + "/fresh/stage",
                                   "PREFIX=/opt/zarim", "INSTALL_RECORD=" + folder + "/installed.txt"};
    for (const char* target : {"install", "install", "uninstall"}) {
        std::vector<std::string> command{"make", "-C", ZARIM_SOURCE_DIR, target};
        command.insert(command.end(), fresh.begin(), fresh.end());
        const command_result made = run_command(command);
        ASSERT_EQ(made.status, 0) << describe(made);
    }
    EXPECT_FALSE(std::filesystem::exists(folder + "/fresh")) << "the staging folder it made was left behind";
    remove_tree(folder);
}

TEST_F(InstalledTree, programs_are_stripped_as_the_package_has_them)
{
    for (const std::string& program : installed_programs()) {
        const command_result sections = run_command({"readelf", "--section-headers", "--wide", installed(program)});
        ASSERT_EQ(sections.status, 0) << describe(sections);
        for (const char* section : {" .symtab ", " .debug_info ", " .comment "}) {
            EXPECT_EQ(sections.out.find(section), std::string::npos) << program << " holds" << section;
        }
    }
}

TEST(ManualPages, format_without_a_warning)
{
    for (const auto& entry : std::filesystem::directory_iterator(ZARIM_SOURCE_DIR "/man")) {
        if (entry.path().extension() != ".1") continue;
        const command_result page = run_command({"groff", "-man", "-Tutf8", "-ww", "-z", entry.path().string()});
        EXPECT_EQ(page.status, 0) << describe(page);
        EXPECT_EQ(page.err, "") << entry.path();
    }
}

class InstalledReceiver : public InstalledTree {
protected:
    void SetUp() override
    {
        InstalledTree::SetUp();
        if (HasFatalFailure()) return;
        if (!enter_private_network() && port_3000_taken()) {
            GTEST_SKIP() << "UDP port 3000 is held on this machine and no private network can be had";
        }
    }
    void TearDown() override
    {
        stop_receiver(receiver);
        remove_tree(folder);
        InstalledTree::TearDown();
    }

    // The terminal's text so far, with the control sequences taken out.
    std::string screen_text() const
    {
        static const std::regex control("\x1b(\\[[0-9;?]*[ -/]*[@-~]|[()][0-9A-Za-z]|[=>78])");
        return std::regex_replace(receiver.output, control, " ");
    }

    bool wait_for_text(const std::string& text, int milliseconds)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        while (screen_text().find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            read_output(receiver, 50);
        }
        return true;
    }

    receiver_process receiver;
    std::string folder;
};

TEST_F(InstalledReceiver, ignores_its_command_line_and_logs_in_the_folder_it_is_started_in)
{
    folder = make_scratch_directory();
    start_receiver(receiver, 24, 80, folder, installed("zarim"), {"--version", "--help"});
    ASSERT_TRUE(wait_for_text("Iniciando servidor UDP - Zarim", 5000)) << receiver.output;
    ASSERT_TRUE(wait_for_text(":3000...", 5000)) << receiver.output;
    ASSERT_TRUE(wait_for_text("| Frame |  Time  | Latitude |", 5000)) << receiver.output;
    EXPECT_EQ(screen_text().find(zarim_version), std::string::npos) << "the receiver answered an option";

    send_datagram("01D2040C22387767BCC182883AC2F8021B09F6CD3018");
    ASSERT_TRUE(wait_for_text("CRC OK!", 5000)) << receiver.output;
    type_keys(receiver, "\x1b");
    // Long enough that the ESC cannot be taken for the start of a sequence.
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    send_datagram("FFFF");
    const int status = wait_for_exit(receiver, 5000);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);

    const std::set<std::string> written = files_under(folder);
    ASSERT_EQ(written.size(), 1U);
    const std::string log_name = *written.begin();
    EXPECT_TRUE(std::regex_match(log_name, std::regex("QLT_20[0-9]{6}\\.txt"))) << log_name;
    std::ifstream log(folder + "/" + log_name, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(text.starts_with(" 1234 ,12:34:56,-23.55052 ,-46.63331 , 760 , 50.004 , 9 ,-10 , 4.02 , 0 \r\n"))
        << text;
}

}  // namespace
