#include <fcntl.h>
#include <ftw.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <functional>

#include "logfile/file_calls.h"
#include "logfile/log_file.h"
#include "net/refused_memory.h"
#include "net/udp_endpoint.h"

namespace {

constexpr channel_number log_channel = 2;
const byte_string log_name = "QLT_20261208.txt";

decoded_frame frame_numbered(std::int32_t counter)
{
    decoded_frame frame;
    frame.counter = counter;
    frame.time_text = "12:34:56";
    frame.latitude = -23.55052f;
    frame.longitude = -46.63331f;
    frame.altitude = static_cast<std::int16_t>(counter % 1000);
    frame.battery_voltage = 4.02f;
    return frame;
}

// The lines of frames first..last, as the file should hold them.
byte_string lines_of(std::int32_t first, std::int32_t last)
{
    byte_string lines;
    for (std::int32_t counter = first; counter <= last; ++counter) {
        lines.append(log_line(frame_numbered(counter)));
    }
    return lines;
}

byte_string file_content(const byte_string& name)
{
    byte_string content;
    const int handle = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (handle < 0) {
        return "<missing>";
    }
    char buffer[4096];
    ssize_t count;
    while ((count = ::read(handle, buffer, sizeof buffer)) > 0) {
        content.append(buffer, static_cast<std::size_t>(count));
    }
    ::close(handle);
    return content;
}

void write_file(const byte_string& name, byte_view content)
{
    const int handle = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(handle, 0);
    ASSERT_EQ(::write(handle, content.data(), content.size()),
              static_cast<ssize_t>(content.size()));
    ::close(handle);
}

bool exists(const byte_string& name)
{
    struct stat info{};
    return ::stat(name.c_str(), &info) == 0;
}

// Fault injection: the disk takes `room` more bytes, then reports `failure`.
std::size_t room = 0;
int failure = ENOSPC;
int interruptions = 0;

ssize_t limited_write(int handle, const void* bytes, std::size_t count)
{
    if (interruptions > 0) {
        --interruptions;
        errno = EINTR;
        return -1;
    }
    if (room == 0) {
        errno = failure;
        return -1;
    }
    const std::size_t allowed = count < room ? count : room;
    const ssize_t written = ::write(handle, bytes, allowed);
    if (written > 0) {
        room -= static_cast<std::size_t>(written);
    }
    return written;
}

ssize_t write_nothing(int, const void*, std::size_t)
{
    return 0;
}

int remove_entry(const char* path, const struct stat*, int, FTW*)
{
    ::chmod(path, 0700);
    return ::remove(path);
}

// Every test runs in a directory of its own, removed afterwards.
class log_file_test : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(::getcwd(previous_directory, sizeof previous_directory), nullptr);
        ASSERT_NE(::mkdtemp(directory), nullptr);
        ASSERT_EQ(::chdir(directory), 0);
        reset_channel_table();
        file_calls = real_file_calls();
    }

    void TearDown() override
    {
        file_calls = real_file_calls();
        reset_channel_table();
        ASSERT_EQ(::chdir(previous_directory), 0);
        ::nftw(directory, remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    }

    // Appends frames first..last; gives the error number of the last one.
    error_number append_frames(std::int32_t first, std::int32_t last,
                               const byte_string& name = log_name)
    {
        error_number error = 0;
        for (std::int32_t counter = first; counter <= last; ++counter) {
            error = 0;
            append_log_line(log_channel, name, frame_numbered(counter), backlog, error);
            EXPECT_EQ(find_channel(log_channel), nullptr) << "the file stays open";
        }
        return error;
    }

    char previous_directory[PATH_MAX] = {};
    char directory[32] = "/tmp/zarim-log-XXXXXX";
    log_backlog backlog;
};

// Runs `body` in a child process with a private tmpfs of `size` bytes as its
// working directory; the child's exit status is body's result. Root only.
int in_private_tmpfs(const char* size, unsigned long flags, const std::function<int()>& body)
{
    const pid_t child = ::fork();
    if (child == 0) {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mkdir("disk", 0755) != 0 ||
            ::mount("zarim-test", "disk", "tmpfs", 0, size) != 0 ||
            (flags != 0 && ::mount(nullptr, "disk", nullptr, MS_REMOUNT | flags, size) != 0) ||
            ::chdir("disk") != 0) {
            ::_exit(100);
        }
        ::_exit(body());
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
        return 101;
    }
    return WEXITSTATUS(status);
}

}  // namespace

TEST_F(log_file_test, adds_whole_lines_after_whatever_the_file_holds)
{
    EXPECT_EQ(append_frames(1, 1), 0);
    EXPECT_EQ(file_content(log_name), lines_of(1, 1));

    // An earlier run's file that ends inside a line: the next line continues it.
    write_file(log_name, "earlier run, no line end");
    EXPECT_EQ(append_frames(2, 3), 0);
    EXPECT_EQ(file_content(log_name), "earlier run, no line end" + lines_of(2, 3));
    EXPECT_TRUE(backlog.lines.empty());

    error_number error = 99;  // success leaves it as it was
    append_log_line(log_channel, log_name, frame_numbered(4), backlog, error);
    EXPECT_EQ(error, 99);
}

TEST_F(log_file_test, a_line_that_cannot_be_opened_for_waits_for_the_next_append)
{
    ASSERT_EQ(::mkdir("a_directory", 0755), 0);
    write_file("a_file", "");
    channel_record other;
    other.number = 5;
    other.port = 42;
    ASSERT_TRUE(insert_channel(std::move(other)));

    const struct {
        byte_string name;
        channel_number channel;
        error_number expected;
    } cases[] = {
        {"", log_channel, error::bad_file_name},
        {"QLT_*.txt", log_channel, error::bad_file_name},
        {"QLT_?.txt", log_channel, error::bad_file_name},
        {byte_string("QLT\0.txt", 8), log_channel, error::bad_file_name},
        {log_name, -1, error::channel_not_open},
        {log_name, 5, error::channel_already_open},
        {"missing/QLT.txt", log_channel, error::file_not_found},
        {"a_file/QLT.txt", log_channel, error::path_not_found},
        {"a_directory", log_channel, error::access_denied},
    };
    std::int32_t counter = 0;
    for (const auto& c : cases) {
        ++counter;
        error_number error = 0;
        append_log_line(c.channel, c.name, frame_numbered(counter), backlog, error);
        EXPECT_EQ(error, c.expected) << c.name << " " << c.channel;
        EXPECT_EQ(backlog.lines.size(), static_cast<std::size_t>(counter));
    }
    EXPECT_EQ(find_channel(log_channel), nullptr);
    EXPECT_EQ(find_channel(5)->port, 42);
    EXPECT_FALSE(exists(log_name));

    EXPECT_EQ(append_frames(counter + 1, counter + 1), 0);
    EXPECT_EQ(file_content(log_name), lines_of(1, counter + 1));
    EXPECT_TRUE(backlog.lines.empty());
}

TEST_F(log_file_test, frames_that_arrive_while_another_program_holds_the_file_are_kept)
{
    write_file(log_name, "");
    int ready[2];
    int release[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(release), 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
        const int handle = ::open(log_name.c_str(), O_RDWR);
        char byte = 0;
        if (handle < 0 || ::flock(handle, LOCK_EX) != 0 || ::write(ready[1], "!", 1) != 1 ||
            ::read(release[0], &byte, 1) != 1) {
            ::_exit(1);
        }
        ::_exit(0);
    }
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);

    for (std::int32_t counter = 1; counter <= 3; ++counter) {
        EXPECT_EQ(append_frames(counter, counter), error::access_denied);
    }
    EXPECT_EQ(file_content(log_name), "");
    EXPECT_EQ(backlog.lines.size(), 3U);

    ASSERT_EQ(::write(release[1], "!", 1), 1);
    int status = 0;
    ASSERT_EQ(::waitpid(holder, &status, 0), holder);
    EXPECT_EQ(status, 0);
    for (const int end : {ready[0], ready[1], release[0], release[1]}) {
        ::close(end);
    }

    EXPECT_EQ(append_frames(4, 5), 0);
    EXPECT_EQ(file_content(log_name), lines_of(1, 5));
    EXPECT_TRUE(backlog.lines.empty());
}

TEST_F(log_file_test, a_write_that_fails_part_way_leaves_only_whole_lines)
{
    const std::size_t line_size = log_line(frame_numbered(1)).size();
    const struct {
        const char* what;
        std::size_t room;
        int failure;
        int interruptions;
        error_number expected;
        std::int32_t lines_in_file;  // of frames 1..4, the first three waiting
    } cases[] = {
        {"disk full at once", 0, ENOSPC, 0, error::disk_full, 0},
        {"room for half a line", line_size / 2, ENOSPC, 0, error::disk_full, 0},
        {"room for two and a half", line_size * 5 / 2, EDQUOT, 0, error::disk_full, 2},
        {"an input-output error", line_size + 3, EIO, 0, error::other_failure, 1},
        {"interrupted, then room", 4 * line_size, ENOSPC, 3, 0, 4},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(::unlink(log_name.c_str()) == 0 || errno == ENOENT, true);
        backlog = log_backlog{};
        ASSERT_EQ(append_frames(1, 3, "*"), error::bad_file_name);

        room = c.room;
        failure = c.failure;
        interruptions = c.interruptions;
        file_calls.write = limited_write;
        EXPECT_EQ(append_frames(4, 4), c.expected) << c.what;
        EXPECT_EQ(file_content(log_name), lines_of(1, c.lines_in_file)) << c.what;
        EXPECT_EQ(backlog.lines.size(), static_cast<std::size_t>(4 - c.lines_in_file)) << c.what;

        file_calls = real_file_calls();
        EXPECT_EQ(append_frames(5, 5), 0) << c.what;
        EXPECT_EQ(file_content(log_name), lines_of(1, 5)) << c.what;
    }

    file_calls.write = write_nothing;
    EXPECT_EQ(append_frames(6, 6), error::disk_full);
    EXPECT_EQ(file_content(log_name), lines_of(1, 5));
}

TEST_F(log_file_test, the_backlog_keeps_the_oldest_lines_up_to_its_bound)
{
    error_number error = 0;
    flush_log_backlog(log_channel, log_name, backlog, error);
    EXPECT_FALSE(exists(log_name)) << "nothing waiting, nothing to create";

    const std::int32_t frames = static_cast<std::int32_t>(log_backlog_limit) + 5;
    EXPECT_EQ(append_frames(1, frames, "*"), error::bad_file_name);
    EXPECT_EQ(backlog.lines.size(), log_backlog_limit);
    EXPECT_EQ(backlog.dropped, 5U);

    flush_log_backlog(log_channel, log_name, backlog, error);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(file_content(log_name), lines_of(1, static_cast<std::int32_t>(log_backlog_limit)));
    EXPECT_TRUE(backlog.lines.empty());
    EXPECT_EQ(backlog.dropped, 5U);
}

TEST_F(log_file_test, a_disk_that_fills_up_and_frees_again_loses_no_line)
{
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs a private tmpfs, so root";
    }
    const int result = in_private_tmpfs("size=64k", 0, [this] {
        // Fill the disk but for the log file's first page.
        if (append_frames(1, 1) != 0) {
            return 1;
        }
        const int filler = ::open("filler", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        const byte_string block(4096, 'x');
        while (::write(filler, block.data(), block.size()) > 0) {
        }
        ::close(filler);

        std::int32_t counter = 1;
        error_number error = 0;
        while (error == 0 && counter < 200) {
            error = append_frames(counter + 1, counter + 1);
            ++counter;
        }
        if (error != error::disk_full) {
            return 2;
        }
        // A few more while the disk is full; the file holds whole lines only.
        append_frames(counter + 1, counter + 5);
        counter += 5;
        const std::size_t waiting = backlog.lines.size();
        if (file_content(log_name) != lines_of(1, counter - static_cast<std::int32_t>(waiting))) {
            return 3;
        }
        if (::unlink("filler") != 0 || append_frames(counter + 1, counter + 1) != 0) {
            return 4;
        }
        return file_content(log_name) == lines_of(1, counter + 1) && backlog.lines.empty() ? 0 : 5;
    });
    EXPECT_EQ(result, 0);
}

TEST_F(log_file_test, a_directory_that_cannot_be_written_keeps_the_lines_waiting)
{
    const auto body = [this] {
        const error_number refused = append_frames(1, 2);
        return refused == error::access_denied && backlog.lines.size() == 2 && !exists(log_name)
                   ? 0
                   : 1;
    };
    if (::geteuid() == 0) {
        // Root writes through any permission bits; a read-only mount it cannot.
        EXPECT_EQ(in_private_tmpfs("size=64k", MS_RDONLY, body), 0);
    } else {
        ASSERT_EQ(::chmod(".", 0555), 0);
        EXPECT_EQ(body(), 0);
        ASSERT_EQ(::chmod(".", 0700), 0);
        EXPECT_EQ(append_frames(3, 3), 0);
        EXPECT_EQ(file_content(log_name), lines_of(1, 3));
    }
}

// The log channel's record and name, and the run of waiting lines, are
// memory the receiver can go on without: each refused in turn sets 7, opens
// nothing, loses no line, and the next try writes them all.
TEST_F(log_file_test, memory_refused_while_writing_sets_7_and_keeps_the_lines_waiting)
{
    for (std::int32_t counter = 1; counter <= 3; ++counter) {
        backlog.lines.push_back(log_line(frame_numbered(counter)));
    }
    std::size_t refusals = 0;
    for (std::size_t passing = 0; passing < 100; ++passing) {
        error_number error = 0;
        refuse_allocation_after(passing);
        flush_log_backlog(log_channel, log_name, backlog, error);
        stop_refusing_memory();
        if (!memory_was_refused()) {
            EXPECT_EQ(error, error::none);
            break;
        }
        ++refusals;
        EXPECT_EQ(error, error::out_of_memory) << "allocation " << passing;
        EXPECT_EQ(backlog.lines.size(), 3u) << "allocation " << passing;
        EXPECT_EQ(find_channel(log_channel), nullptr) << "allocation " << passing;
    }
    EXPECT_GE(refusals, 2u) << "the record and the run of lines at least";
    EXPECT_TRUE(backlog.lines.empty());
    EXPECT_EQ(file_content(log_name), lines_of(1, 3));
}
