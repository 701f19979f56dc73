#pragma once
// PCIe functions as the station presents them: where a function sits, what it
// says it is, and windows on its registers (its configuration space, its BARs).
#include <compare>
#include <cstdint>
#include <string>

namespace platform {

// Segment (PCI domain), bus, device and function of a PCIe function.
struct PcieLocation {
    uint16_t segment = 0;
    uint8_t bus = 0;
    uint8_t device = 0;
    uint8_t function = 0;

    auto operator<=>(const PcieLocation&) const = default;
};

// "SSSS:BB:DD.F" in lower-case hex, as Linux names functions.
std::string PcieLocationText(const PcieLocation& location);
// Reads "SSSS:BB:DD.F" or "BB:DD.F" (segment 0), hex digits in either case;
// false for any other text or a part out of its range.
bool ParsePcieLocation(const std::string& text, PcieLocation& location);

// A present function, with the identity its configuration header gives.
struct PcieFunction {
    PcieLocation location;
    uint16_t vendorId = 0;
    uint16_t deviceId = 0;
    uint32_t classCode = 0;  // base class, sub-class, programming interface
};

// Size of a function's configuration space (extended space included).
constexpr uint32_t kPcieConfigSpaceSize = 4096;

// A window on registers of one function: its configuration space or one of its
// memory BARs. Accesses move 1, 2 or 4 bytes, little-endian. A window stays
// usable until it is released and never outlives the station that opened it.
class IPcieRegion {
public:
    virtual ~IPcieRegion() = default;
    virtual uint64_t Size() const = 0;
    // False when the size is not 1, 2 or 4, the access does not lie inside the
    // window (a BAR also wants it aligned to its size) or the system refuses it.
    virtual bool Read(uint64_t offset, uint32_t size, uint32_t& value) = 0;
    virtual bool Write(uint64_t offset, uint32_t size, uint32_t value) = 0;
};

// True for the access sizes a window takes.
constexpr bool IsPcieAccessSize(uint32_t size)
{
    return size == 1 || size == 2 || size == 4;
}

// True when `size` bytes at `offset` lie inside a window of `windowSize` bytes.
constexpr bool PcieAccessFits(uint64_t offset, uint32_t size, uint64_t windowSize)
{
    return IsPcieAccessSize(size) && offset < windowSize && size <= windowSize - offset;
}

}  // namespace platform
