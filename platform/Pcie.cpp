#include "platform/Pcie.h"

#include <cstdio>

namespace platform {

std::string PcieLocationText(const PcieLocation& location)
{
    char text[16];
    std::snprintf(text, sizeof text, "%04x:%02x:%02x.%x", location.segment, location.bus, location.device,
                  location.function);
    return text;
}

namespace {
// The hex number of text[first, first + count); false when a character is no hex digit.
bool HexField(const std::string& text, size_t first, size_t count, unsigned& value)
{
    value = 0;
    for (size_t i = first; i < first + count; ++i) {
        const char c = text[i];
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0) return false;
        value = value * 16 + static_cast<unsigned>(digit);
    }
    return true;
}
}  // namespace

bool ParsePcieLocation(const std::string& text, PcieLocation& location)
{
    // "BB:DD.F", after "SSSS:" when the segment is given.
    const size_t start = text.size() == 12 ? 5 : 0;
    if (text.size() != start + 7 || (start && text[4] != ':') || text[start + 2] != ':' || text[start + 5] != '.')
        return false;
    unsigned segment = 0, bus = 0, device = 0, function = 0;
    if ((start && !HexField(text, 0, 4, segment)) || !HexField(text, start, 2, bus) ||
        !HexField(text, start + 3, 2, device) || !HexField(text, start + 6, 1, function) || device > 0x1F ||
        function > 7)
        return false;
    location = {static_cast<uint16_t>(segment), static_cast<uint8_t>(bus), static_cast<uint8_t>(device),
                static_cast<uint8_t>(function)};
    return true;
}

}  // namespace platform
