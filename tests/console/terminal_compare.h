// Checks that a terminal emulator shows exactly what a screen model holds.
#pragma once

#include <gtest/gtest.h>

#include "console/screen_model.h"
#include "support/vterm_screen.h"

// The model byte a terminal cell shows, from its glyph; -1 for a glyph no
// byte has.
int byte_of_glyph(char32_t code_point, bool utf8);

// Every cell's byte and background, and the foreground of every cell that
// is not a blank (a blank shows no foreground, and terminals differ on what
// they store for erased cells), and the cursor.
testing::AssertionResult terminal_shows(const vterm_screen& terminal, const screen_model& screen, bool utf8);
