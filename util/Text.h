#pragma once
// Small text and time helpers every layer shares.
#include <ctime>
#include <string_view>

namespace util {

// ASCII comparison that ignores case.
bool EqualNoCase(std::string_view a, std::string_view b);

// The local date and time now.
std::tm LocalTimeNow();

}  // namespace util
