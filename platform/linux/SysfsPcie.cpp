#include "platform/linux/SysfsPcie.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <set>

namespace platform::linuxst {

namespace fs = std::filesystem;

namespace {
constexpr size_t kMcfgHeaderSize = 44;  // ACPI header and 8 reserved bytes
constexpr size_t kMcfgEntrySize = 16;
constexpr int kLastBus = 0xFF;

bool ValidSize(uint32_t size) { return size == 1 || size == 2 || size == 4; }
}  // namespace

SysfsPcie::~SysfsPcie()
{
    for (const auto& [linear, window] : m_Windows)
        if (window.fd >= 0) ::close(window.fd);
}

std::vector<int> SysfsPcie::Domains() const
{
    std::set<int> domains;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(m_Root / "sys/bus/pci/devices", ec)) {
        unsigned domain = 0, bus = 0, device = 0, function = 0;
        if (std::sscanf(entry.path().filename().c_str(), "%x:%x:%x.%x", &domain, &bus, &device, &function) == 4 &&
            domain < 16)
            domains.insert(static_cast<int>(domain));
    }
    return {domains.begin(), domains.end()};
}

bool SysfsPcie::Available() const
{
    return !Domains().empty();
}

bool SysfsPcie::AcpiTable(const std::string& signature, std::vector<uint8_t>& table) const
{
    const std::vector<int> domains = Domains();
    if (signature != "MCFG" || domains.empty()) return false;
    table.assign(kMcfgHeaderSize + kMcfgEntrySize * domains.size(), 0);
    std::memcpy(table.data(), "MCFG", 4);
    const auto length = static_cast<uint32_t>(table.size());
    std::memcpy(table.data() + 4, &length, 4);
    table[8] = 1;  // revision
    std::memcpy(table.data() + 10, "DEVEDA", 6);
    for (size_t i = 0; i < domains.size(); ++i) {
        uint8_t* entry = table.data() + kMcfgHeaderSize + kMcfgEntrySize * i;
        const uint64_t base = kEcamBase + (uint64_t(domains[i]) << 28);
        const auto segment = static_cast<uint16_t>(domains[i]);
        std::memcpy(entry, &base, 8);
        std::memcpy(entry + 8, &segment, 2);
        entry[10] = 0;
        entry[11] = kLastBus;
    }
    uint8_t sum = 0;
    for (uint8_t byte : table) sum = static_cast<uint8_t>(sum + byte);
    table[9] = static_cast<uint8_t>(0x100 - sum);  // checksum: the bytes add up to 0
    return true;
}

uintptr_t SysfsPcie::Map(uint64_t address, uint32_t size)
{
    if (address < kEcamBase || size == 0 || size > kWindowSize || address % kWindowSize != 0) return 0;
    const uint64_t offset = address - kEcamBase;
    const unsigned domain = static_cast<unsigned>(offset >> 28);
    const unsigned bus = (offset >> 20) & 0xFF, device = (offset >> 15) & 0x1F, function = (offset >> 12) & 0x7;
    const std::vector<int> domains = Domains();
    bool known = false;
    for (int d : domains) known = known || static_cast<unsigned>(d) == domain;
    if (!known) return 0;
    char name[32];
    std::snprintf(name, sizeof name, "%04x:%02x:%02x.%x", domain, bus, device, function);
    Window window;
    window.fd = ::open((m_Root / "sys/bus/pci/devices" / name / "config").c_str(), O_RDWR | O_CLOEXEC);
    if (window.fd < 0) window.fd = ::open((m_Root / "sys/bus/pci/devices" / name / "config").c_str(), O_RDONLY | O_CLOEXEC);
    std::lock_guard lock(m_Lock);
    const uintptr_t linear = m_NextLinear;
    m_NextLinear += kWindowSize;
    m_Windows[linear] = window;
    return linear;
}

void SysfsPcie::Unmap(uintptr_t linear)
{
    std::lock_guard lock(m_Lock);
    const auto found = m_Windows.find(linear);
    if (found == m_Windows.end()) return;
    if (found->second.fd >= 0) ::close(found->second.fd);
    m_Windows.erase(found);
}

bool SysfsPcie::FindWindow(uintptr_t linear, Window& window, uint32_t& offset) const
{
    std::lock_guard lock(m_Lock);
    auto found = m_Windows.upper_bound(linear);
    if (found == m_Windows.begin()) return false;
    --found;
    if (linear - found->first >= kWindowSize) return false;
    window = found->second;
    offset = static_cast<uint32_t>(linear - found->first);
    return true;
}

int SysfsPcie::Read(uintptr_t linear, uint32_t size, uint32_t* value)
{
    Window window;
    uint32_t offset = 0;
    if (!value || !ValidSize(size) || !FindWindow(linear, window, offset) || offset + size > kWindowSize) return 1;
    if (window.fd < 0) {
        *value = size == 4 ? 0xFFFFFFFFu : (1u << (8 * size)) - 1;  // an absent function
        return 0;
    }
    uint8_t bytes[4] = {};
    if (::pread(window.fd, bytes, size, offset) != static_cast<ssize_t>(size)) return 1;
    *value = 0;
    for (uint32_t i = 0; i < size; ++i) *value |= uint32_t{bytes[i]} << (8 * i);
    return 0;
}

int SysfsPcie::Write(uintptr_t linear, uint32_t size, uint32_t value)
{
    Window window;
    uint32_t offset = 0;
    if (!ValidSize(size) || !FindWindow(linear, window, offset) || offset + size > kWindowSize) return 1;
    if (window.fd < 0) return 0;  // an absent function ignores writes
    uint8_t bytes[4];
    for (uint32_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    return ::pwrite(window.fd, bytes, size, offset) == static_cast<ssize_t>(size) ? 0 : 1;
}

}  // namespace platform::linuxst
