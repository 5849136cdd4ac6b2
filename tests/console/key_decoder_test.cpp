#include <gtest/gtest.h>

#include <string>

#include "console/key_decoder.h"

namespace {

std::string scan(unsigned char code)
{
    return std::string{'\0', static_cast<char>(code)};
}

// Decodes every key of a byte sequence as read_key would, settling an
// unfinished tail as it would once nothing more arrives.
std::vector<std::string> keys_of(const std::string& bytes)
{
    std::vector<std::string> keys;
    std::string_view rest = bytes;
    while (!rest.empty()) {
        key_parse parsed = parse_key(rest, false);
        if (parsed.status == key_parse_status::partial) {
            parsed = parse_key(rest, true);
        }
        EXPECT_EQ(parsed.status, key_parse_status::complete);
        EXPECT_GT(parsed.consumed, 0u);
        if (parsed.status != key_parse_status::complete || parsed.consumed == 0) {
            break;
        }
        if (!parsed.key.empty()) {
            keys.push_back(parsed.key);
        }
        rest.remove_prefix(parsed.consumed);
    }
    return keys;
}

TEST(key_decoder, terminal_sequences_become_the_keys_they_stand_for)
{
    struct key_case {
        const char* name;
        std::string bytes;
        std::vector<std::string> keys;
    };
    const key_case cases[] = {
        {"letters and controls", "a\x03\r\x7f", {"a", "\x03", "\r", "\x7f"}},
        {"a byte above 127", "\xc3\xa9", {"\xc3", "\xa9"}},
        {"arrows", "\x1b[A\x1b[B\x1b[D\x1b[C", {scan(0x48), scan(0x50), scan(0x4B), scan(0x4D)}},
        {"arrows in application mode", "\x1bOA\x1bOD", {scan(0x48), scan(0x4B)}},
        {"arrows with modifiers", "\x1b[1;5A\x1b[1;3C", {scan(0x48), scan(0x4D)}},
        {"editing keys", "\x1b[1~\x1b[2~\x1b[3~\x1b[4~\x1b[5~\x1b[6~\x1b[H\x1b[F\x1bOH\x1bOF",
         {scan(0x47), scan(0x52), scan(0x53), scan(0x4F), scan(0x49), scan(0x51), scan(0x47), scan(0x4F),
          scan(0x47), scan(0x4F)}},
        {"F1 to F4", "\x1bOP\x1bOQ\x1bOR\x1bOS", {scan(0x3B), scan(0x3C), scan(0x3D), scan(0x3E)}},
        {"F5 to F12", "\x1b[15~\x1b[17~\x1b[18~\x1b[19~\x1b[20~\x1b[21~\x1b[23~\x1b[24~",
         {scan(0x3F), scan(0x40), scan(0x41), scan(0x42), scan(0x43), scan(0x44), scan(0x85), scan(0x86)}},
        {"Linux console F1 and F5", "\x1b[[A\x1b[[E", {scan(0x3B), scan(0x3F)}},
        {"Alt with letters", "\x1bx\x1bQ", {scan(0x2D), scan(0x10)}},
        {"Alt with a digit gives the digit", "\x1b" "5", {"5"}},
        {"unknown sequences are consumed", "\x1b[99~\x1b[1;2$y\x1bOz", {scan(0), scan(0), scan(0)}},
        {"mouse and focus reports are dropped", "\x1b[M !!\x1b[<0;10;5M\x1b[I\x1b[Oq", {"q"}},
        {"ESC then ESC", "\x1b\x1b[A", {"\x1b", scan(0x48)}},
        {"a lone ESC at the end", "a\x1b", {"a", "\x1b"}},
        {"unfinished CSI at the end", "\x1b[1;", {scan(0)}},
        {"a control byte cuts a sequence", "\x1b[1\x03", {scan(0), "\x03"}},
        {"an endless parameter run is cut after 32 bytes", "\x1b[" + std::string(40, '1'),
         {scan(0), "1", "1", "1", "1", "1", "1", "1", "1", "1", "1"}},
    };
    for (const key_case& c : cases) {
        EXPECT_EQ(keys_of(c.bytes), c.keys) << c.name;
    }
}

TEST(key_decoder, only_a_lone_escape_gives_27)
{
    // Every prefix of a sequence either waits for more or, once nothing
    // follows, settles without ever giving 27 - except ESC alone.
    const std::string sequences[] = {"\x1b[A", "\x1b[15~", "\x1bOP", "\x1b[1;5D", "\x1b[[A", "\x1b[M !!"};
    for (const std::string& sequence : sequences) {
        for (std::size_t length = 2; length <= sequence.size(); ++length) {
            const std::string prefix = sequence.substr(0, length);
            const key_parse waiting = parse_key(prefix, false);
            if (length < sequence.size()) {
                EXPECT_EQ(waiting.status, key_parse_status::partial) << prefix.substr(1);
            }
            const key_parse settled = parse_key(prefix, true);
            EXPECT_EQ(settled.status, key_parse_status::complete) << prefix.substr(1);
            EXPECT_NE(settled.key, "\x1b") << prefix.substr(1);
        }
    }
    EXPECT_EQ(parse_key("\x1b", false).status, key_parse_status::partial);
    EXPECT_EQ(parse_key("\x1b", true).key, "\x1b");
    EXPECT_EQ(parse_key("", true).status, key_parse_status::empty);
}

TEST(key_decoder, noise_is_cut_at_the_same_byte_however_the_reads_split_it)
{
    const std::string noise = "\x1b[" + std::string(40, ';') + "~";
    for (std::size_t arrived = 32; arrived <= noise.size(); ++arrived) {
        const key_parse parsed = parse_key(std::string_view(noise).substr(0, arrived), false);
        EXPECT_EQ(parsed.status, key_parse_status::complete) << arrived;
        EXPECT_EQ(parsed.consumed, 32u) << arrived;
    }
}

TEST(key_decoder, the_position_answer_is_the_report_just_before_the_attributes)
{
    // Shift+F3 sends a position report's shape; only the report that the
    // attributes report follows is the answer.
    const std::string shift_f3 = "\x1b[1;2R";
    const std::string bytes = "ab" + shift_f3 + "\x1b[A\x1b[12;34R\x1b[?64;1;2c" + shift_f3;
    const position_answer answer = find_position_answer(bytes);
    ASSERT_TRUE(answer.complete);
    ASSERT_TRUE(answer.has_position);
    EXPECT_EQ(answer.start, 11u);
    EXPECT_EQ(bytes.substr(answer.start, answer.length), "\x1b[12;34R\x1b[?64;1;2c");
    EXPECT_EQ(answer.row, 12);
    EXPECT_EQ(answer.column, 34);

    // A report with no attributes after it may be a key: the answer is not
    // complete until the attributes come.
    EXPECT_FALSE(find_position_answer(shift_f3).complete);
    EXPECT_FALSE(find_position_answer("\x1b[12;34R\x1b[?1;2").complete);

    // Attributes without a report just before them: complete, no position.
    for (const std::string& no_report :
         {std::string("\x1b[?6c"), shift_f3 + "x\x1b[?6c", std::string("\x1b[;5R\x1b[?6c"),
          std::string("\x1b[5R\x1b[?6c"), std::string("\x1b[1;2;3R\x1b[?6c")}) {
        const position_answer none = find_position_answer(no_report);
        EXPECT_TRUE(none.complete) << no_report.substr(1);
        EXPECT_FALSE(none.has_position) << no_report.substr(1);
        EXPECT_EQ(no_report.substr(none.start, none.length), "\x1b[?6c");
    }
}

}  // namespace
