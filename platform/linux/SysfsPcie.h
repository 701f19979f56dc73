#pragma once
// The PCIe functions of the Linux station, from sysfs: the functions listed in
// sys/bus/pci/devices, the configuration space of each through its "config"
// file and its memory BARs by mapping its "resourceN" files. Without root,
// Linux serves only the first 64 bytes of a config file (the rest reads as
// refused) and maps no BAR.
#include <filesystem>
#include <memory>
#include <vector>

#include "platform/Pcie.h"

namespace platform::linuxst {

class SysfsPcie {
public:
    explicit SysfsPcie(std::filesystem::path root) : m_Root(std::move(root)) {}

    // True when the system lists PCI functions at all.
    bool Available() const;
    // The listed functions whose header can be read, in location order.
    std::vector<PcieFunction> Functions() const;
    // The config file of the function; a function that is not listed reads as
    // all ones and ignores writes. nullptr when the system lists no PCI function.
    std::unique_ptr<IPcieRegion> OpenConfig(const PcieLocation& location) const;
    // The mapped resource file of BAR `bar`; nullptr when the function has no
    // such BAR or it cannot be mapped.
    std::unique_ptr<IPcieRegion> MapBar(const PcieLocation& location, int bar) const;

private:
    std::filesystem::path FunctionFolder(const PcieLocation& location) const;

    std::filesystem::path m_Root;
};

}  // namespace platform::linuxst
