#pragma once
// The volumes on the bridges' disks of the Linux station: the table sfdisk
// reads back from a disk, what file system a partition holds,
// mounting a partition at a folder that stands for a drive letter, quick NTFS
// and exFAT formats and labels. Every tool runs through one seam with a time
// limit, so tests replay recorded outputs without root.
//
// Failures set the last error and are logged; a partition of a refused disk
// (the system disk, a disk mounted at a system path, a disk not behind a
// bridge) is never mounted, formatted or labelled, and a mounted partition is
// never formatted or labelled.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/ToolProcess.h"
#include "platform/linux/FileSystemProbe.h"
#include "platform/linux/PartitionTable.h"
#include "platform/linux/SysfsTree.h"

namespace platform::linuxst {

// A probed volume: its file system and, while it is mounted, its space.
struct VolumeFacts {
    FileSystemFacts fileSystem;
    std::string mountPoint;     // where it is mounted; empty when it is not
    bool spaceKnown = false;    // the figures below come from the mounted file system
    uint64_t totalBytes = 0;
    uint64_t freeBytes = 0;     // what a writer may still fill
    uint32_t clusterBytes = 0;  // the file system's allocation unit
};

constexpr int64_t kFormatTimeLimitMs = 12'000'000;  // 200 minutes, as a format may take on a large disk
constexpr int64_t kLabelTimeLimitMs = 1'000'000;
constexpr int64_t kMountTimeLimitMs = 300'000;

class LinuxVolumes {
public:
    explicit LinuxVolumes(SysfsTree tree) : m_Tree(std::move(tree)) {}

    // Replaces how the tools are started (tests).
    void SetToolRunner(LimitedToolRunner run) { m_Run = std::move(run); }

    // The folder a mount-point name stands for: ROOT/run/deveda/volumes/NAME.
    std::filesystem::path MountFolder(const std::string& name) const;

    // The partition table of `disk`, read back by sfdisk from its block node.
    std::optional<PartitionTable> ReadPartitionTable(const BlockDisk& disk) const;
    // The file system on a partition; nullopt (ERROR_UNRECOGNIZED_VOLUME) when
    // it holds none the tool works with.
    std::optional<VolumeFacts> Probe(const BlockPartition& partition) const;

    // Mounts the partition at the folder of `name` (one to sixteen letters or
    // digits), made with mode 0700, and gives that folder. The kernel's vfat,
    // exfat or ntfs3 driver is used when the kernel has it, else the FUSE driver
    // (exfat-fuse, ntfs-3g). Never mounts over a folder that is not empty or is
    // a mount point itself; a partition already mounted at that folder gives the
    // folder again, one mounted elsewhere is refused.
    std::optional<std::filesystem::path> Mount(const BlockPartition& partition, const std::string& diskRefusal,
                                               const std::string& name) const;
    // Unmounts the folder of `name` and removes it; true when no folder is left.
    bool Unmount(const std::string& name) const;

    // A quick format: "NTFS" or "exFAT" (any case) with `label`, by mkfs.ntfs
    // or mkfs.exfat. FAT32 is not formatted here.
    bool Format(const BlockPartition& partition, const std::string& diskRefusal, const std::string& fileSystem,
                const std::string& label) const;
    // Sets the label of the FAT32, NTFS or exFAT volume on the partition.
    bool SetLabel(const BlockPartition& partition, const std::string& diskRefusal, const std::string& label) const;

    // Where the partition is mounted now; empty when it is not.
    std::string MountPointOf(const BlockPartition& partition) const;

private:
    bool IsMountPoint(const std::filesystem::path& folder) const;
    // Whether the kernel has the file-system driver `type`, loaded or as a module.
    bool KernelHas(const std::string& type) const;
    // False (last error set) when the partition must not be changed.
    bool MayChange(const BlockPartition& partition, const std::string& diskRefusal, const char* change) const;
    // Makes the folder of `name`, empty, with its parents; false (last error set) when it cannot be used.
    bool MakeMountFolder(const std::filesystem::path& folder) const;
    // Runs a tool that changes a volume; false (last error set) when it fails.
    bool RunChange(const std::vector<std::string>& command, int64_t timeLimitMs) const;

    SysfsTree m_Tree;
    LimitedToolRunner m_Run = [](const std::vector<std::string>& argv, int64_t timeLimitMs) {
        return RunTool(argv, {}, timeLimitMs);
    };
};

}  // namespace platform::linuxst
