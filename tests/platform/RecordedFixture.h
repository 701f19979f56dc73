#pragma once
// The text of a file recorded from a real system (tool output, udev events),
// kept under tests/platform/fixtures.
#include <fstream>
#include <sstream>
#include <string>

inline std::string Recorded(const char* name)
{
    std::ifstream in(std::string(PLATFORM_FIXTURES) + "/" + name);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}
