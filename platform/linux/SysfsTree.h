#pragma once
// What Linux shows of the USB tree, the disks and the mounts, read from a root
// folder ("/" on a station; a fixture tree in tests): /sys/bus/usb/devices,
// /sys/block, /proc/self/mountinfo. Reading never changes anything.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/Station.h"

namespace platform::linuxst {

enum class DiskBus { kUsb, kSata, kNvme, kScsi };

// One whole disk of the block layer.
struct BlockDisk {
    std::string name;       // "sdb"
    std::string usbDevice;  // the USB device it hangs on ("2-2.3"), empty when none
    DiskBus bus = DiskBus::kScsi;
    std::string vendor, model, revision;
    uint64_t sizeBytes = 0;
    uint32_t sectorSize = 512;
    std::string sgName;                    // its SCSI generic node ("sg3"), empty when none
    std::vector<std::string> deviceNumbers;  // "major:minor" of the disk and of each partition
};

// One partition of a whole disk.
struct BlockPartition {
    std::string name;          // "sdb2"
    std::string path;          // its block node ("/dev/sdb2", under the root)
    uint32_t number = 0;       // 2
    std::string deviceNumber;  // "8:18"
    uint64_t startBytes = 0;
    uint64_t lengthBytes = 0;
    uint32_t sectorSize = 512;  // the disk's logical sector size
};

struct MountEntry {
    std::string deviceNumber;  // "major:minor"
    std::string mountPoint;    // escapes undone
    std::string fileSystem;
    std::string source;        // what is mounted: "/dev/sdb1" (FUSE mounts name their node here too)
};

class SysfsTree {
public:
    explicit SysfsTree(std::filesystem::path root) : m_Root(std::move(root)) {}

    const std::filesystem::path& Root() const { return m_Root; }
    // Every USB device, root hubs first, then by bus and port path. The strings
    // are the ones the kernel read, offered as indices 1, 2 and 3 in US English.
    std::vector<UsbNode> UsbNodes() const;
    // Every whole disk of a device, by name (loop, RAM and mapped disks left out).
    std::vector<BlockDisk> Disks() const;
    std::vector<MountEntry> Mounts() const;
    // The partitions of `disk`, by number.
    std::vector<BlockPartition> Partitions(const BlockDisk& disk) const;
    // A path under the root ("dev/sg3" -> ROOT/dev/sg3).
    std::filesystem::path Under(const std::string& path) const { return m_Root / path; }

private:
    std::filesystem::path m_Root;
};

// Lines of /proc/self/mountinfo; malformed lines are skipped.
std::vector<MountEntry> ParseMountInfo(const std::string& text);
// Whether a mount point is one the system runs from: "/", "/boot", "/usr", ...
bool IsSystemMountPoint(const std::string& mountPoint);
// The root folder of the station: $DEVEDA_LINUX_ROOT, else "/".
std::string LinuxRoot();

}  // namespace platform::linuxst
