// Names and paths are bytes: a log may be called QLT_20261208-\xe3.txt, or
// lie in a folder named in another encoding. JSON and XML carry only
// Unicode, and a terminal takes some bytes as commands; these make such
// text safe for each.
#pragma once

#include <string>
#include <string_view>

// Whether `text` is well-formed UTF-8 (no overlong forms, surrogates or
// code points beyond U+10FFFF).
bool is_utf8(std::string_view text);

// `text` with each byte that does not belong to a well-formed UTF-8
// sequence replaced by U+FFFD, the replacement character: what goes into
// JSON and XML.
std::string utf8_text(std::string_view text);

// `text` for a message on a terminal: bytes that are not UTF-8 and control
// characters written as \xNN, a backslash as \\, so that the reader sees
// exactly which bytes the name holds.
std::string shown_text(std::string_view text);
