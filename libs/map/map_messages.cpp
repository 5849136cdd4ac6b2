#include "map_messages.h"

#include <cstdio>

// A message that cannot be written has nowhere left to be reported.
void say(const std::string& text)
{
    static_cast<void>(std::fputs(("zarim-map: " + text + "\n").c_str(), stdout));
    static_cast<void>(std::fflush(stdout));
}

void complain(const std::string& text)
{
    static_cast<void>(std::fputs(("zarim-map: " + text + "\n").c_str(), stderr));
}
