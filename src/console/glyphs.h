// How one cell's byte looks on a terminal. Every byte becomes exactly one
// printable cell and never a control function, so a datagram can neither
// move the cursor nor change the terminal's modes.
#pragma once

#include "core/types.h"

// The code point shown for the byte: 32-126 themselves, everything else the
// code page 437 picture of it (NUL as the symbol for null, so that it stays
// visible and distinct from a blank).
char32_t glyph_code_point(unsigned char byte);

// Appends the byte's glyph, UTF-8 encoded on a UTF-8 terminal; elsewhere
// bytes outside 32-126 appear as '?'.
void append_glyph(byte_string& out, char byte, bool utf8);

// The glyphs of every byte, in order: the same as append_glyph for each,
// with runs of bytes that stand for themselves appended whole.
void append_glyphs(byte_string& out, byte_view bytes, bool utf8);

// Whether the locale settings name UTF-8 as the character encoding; the
// first of LC_ALL, LC_CTYPE, LANG that is set and not empty decides.
bool locale_is_utf8(const char* lc_all, const char* lc_ctype, const char* lang);
