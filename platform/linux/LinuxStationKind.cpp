// Registers the Linux station, chosen by "linux" (the default): real bridges
// under the root folder given by $DEVEDA_LINUX_ROOT ("/" when unset).
#include "platform/linux/LinuxStation.h"

#include <filesystem>

namespace platform::linuxst {
namespace {

std::shared_ptr<IStation> MakeLinuxStation(const std::string& argument, std::string& error)
{
    if (!argument.empty()) {
        error = "station 'linux:" + argument + "': the Linux station takes no argument (its root is $DEVEDA_LINUX_ROOT)";
        return nullptr;
    }
    const std::string root = LinuxRoot();
    error.clear();
    std::error_code ec;
    if (!CheckFolderPath(root, error) || !std::filesystem::is_directory(root, ec)) {
        error = "Linux station root '" + root + "': " + (error.empty() ? "no such folder" : error);
        return nullptr;
    }
    return std::make_shared<LinuxStation>(root, SystemIoctl());
}

// No console commands, and no clock of its own: real hardware keeps real time.
[[maybe_unused]] const bool g_Registered = RegisterStationKind({"linux", "linux", MakeLinuxStation, nullptr, "", nullptr});

}  // namespace
}  // namespace platform::linuxst
