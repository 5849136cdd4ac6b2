// What zarim-map tells its user: progress on the standard output, problems
// on the standard error, each a line under the program's name.
#pragma once

#include <string>

void say(const std::string& text);
void complain(const std::string& text);
