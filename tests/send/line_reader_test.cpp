#include <gtest/gtest.h>

#include <cstdlib>
#include <unistd.h>

#include "line_reader.h"

namespace {

// A file holding `content`, already unlinked; reading starts at its start.
int file_with(const std::string& content)
{
    char name[] = "/tmp/zarim_lines_XXXXXX";
    const int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    unlink(name);
    EXPECT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    lseek(fd, 0, SEEK_SET);
    return fd;
}

struct read_result {
    line_status status;
    std::string line;
    std::uint64_t number;
};

std::vector<read_result> read_all(const std::string& content)
{
    line_reader reader;
    reader.fd = file_with(content);
    std::vector<read_result> results;
    for (;;) {
        std::string line;
        int error = 0;
        const line_status status = read_line(reader, line, error, 1000);
        if (status == line_status::end || status == line_status::failure) break;
        results.push_back({status, line, reader.line_number});
    }
    close(reader.fd);
    return results;
}

}  // namespace

TEST(line_reader, splits_on_lf_and_drops_the_cr_before_it)
{
    const auto results = read_all("one\r\ntwo\n\nthree\rfour\nlast");
    const std::vector<std::string> expected = {"one", "two", "", "three\rfour", "last"};
    ASSERT_EQ(results.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(results[i].status, line_status::line);
        EXPECT_EQ(results[i].line, expected[i]);
        EXPECT_EQ(results[i].number, i + 1);
    }
}

TEST(line_reader, skips_a_line_too_long_for_the_buffer_and_goes_on)
{
    const std::string longest(line_reader_capacity - 1, 'y');
    const std::string content = "first\n" + std::string(3 * line_reader_capacity, 'x') + "\n" +
                                longest + "\n" + std::string(line_reader_capacity, 'z');
    const auto results = read_all(content);
    ASSERT_EQ(results.size(), 4u);
    EXPECT_EQ(results[0].line, "first");
    EXPECT_EQ(results[1].status, line_status::too_long);
    EXPECT_EQ(results[1].number, 2u);
    EXPECT_EQ(results[2].status, line_status::line);
    EXPECT_EQ(results[2].line, longest);
    EXPECT_EQ(results[2].number, 3u);
    EXPECT_EQ(results[3].status, line_status::too_long);  // unterminated and too long at the end
}
