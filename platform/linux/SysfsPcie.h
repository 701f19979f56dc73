#pragma once
// The PCIe path of the Linux station: configuration space read and written
// through the sysfs "config" file of each function, reached the way the host
// side reaches ECAM. The station makes its own "MCFG" table: one range per PCI
// domain at an address that is only a key (no physical memory is ever mapped);
// a window mapped at such an address is the config file of that function.
// Without root, Linux serves only the first 64 bytes of a config file: the rest
// reads as absent.
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <vector>

namespace platform::linuxst {

class SysfsPcie {
public:
    static constexpr uint64_t kEcamBase = 0xE0000000ull;
    static constexpr uint32_t kWindowSize = 4096;

    explicit SysfsPcie(std::filesystem::path root) : m_Root(std::move(root)) {}
    ~SysfsPcie();
    SysfsPcie(const SysfsPcie&) = delete;
    SysfsPcie& operator=(const SysfsPcie&) = delete;

    // True when the system lists PCI functions at all.
    bool Available() const;
    // The station's "MCFG" table (false for any other signature or without PCI).
    bool AcpiTable(const std::string& signature, std::vector<uint8_t>& table) const;
    // A window on the function at an ECAM address of the table; 0 when the address
    // lies outside it. A window on an absent function reads as all ones.
    uintptr_t Map(uint64_t address, uint32_t size);
    void Unmap(uintptr_t linear);
    // 0 on success; non-zero outside a window, past the readable part or on a bad size.
    int Read(uintptr_t linear, uint32_t size, uint32_t* value);
    int Write(uintptr_t linear, uint32_t size, uint32_t value);

private:
    struct Window {
        int fd = -1;  // the function's config file, -1 when absent
    };
    std::vector<int> Domains() const;
    bool FindWindow(uintptr_t linear, Window& window, uint32_t& offset) const;

    std::filesystem::path m_Root;
    mutable std::mutex m_Lock;
    std::map<uintptr_t, Window> m_Windows;  // by linear address
    uintptr_t m_NextLinear = 0x100000;
};

}  // namespace platform::linuxst
