#include "platform/linux/LinuxVolumes.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cctype>
#include <cerrno>
#include <fstream>
#include <sstream>

#include "log/DebugLog.h"
#include "platform/Station.h"
#include "platform/SystemFormat.h"

namespace platform::linuxst {

namespace fs = std::filesystem;

namespace {

constexpr const char* kMountOptions = "nosuid,nodev,noexec";
constexpr size_t kMaxNameLength = 16;

bool Fail(uint32_t error)
{
    SetLastError(error);
    return false;
}

// A mount-point name is one path component of letters and digits.
bool IsMountName(const std::string& name)
{
    if (name.empty() || name.size() > kMaxNameLength) return false;
    for (char c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) return false;
    return true;
}

// Makes `folder` with `mode` unless it is there; a folder that is there must be
// a real folder, never a link to another place.
bool MakeOwnFolder(const fs::path& folder, mode_t mode)
{
    if (::mkdir(folder.c_str(), mode) == 0) return true;
    struct stat status {};
    return errno == EEXIST && ::lstat(folder.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// False (last error set) when the partition's disk is refused.
bool MayTouch(const BlockPartition& partition, const std::string& diskRefusal, const char* change)
{
    if (diskRefusal.empty()) return true;
    DBG_ERR("%s:%d: %s not %s: its disk is refused: %s", partition.name.c_str(), change, diskRefusal.c_str());
    return Fail(ERROR_ACCESS_DENIED);
}

bool IsBlockDevice(const std::string& path)
{
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISBLK(status.st_mode);
}

}  // namespace

fs::path LinuxVolumes::MountFolder(const std::string& name) const
{
    return fs::absolute(m_Tree.Under("run/deveda/volumes")) / name;
}

std::optional<PartitionTable> LinuxVolumes::ReadPartitionTable(const BlockDisk& disk) const
{
    std::string error;
    auto table = linuxst::ReadPartitionTable(m_Run, m_Tree.Under("dev/" + disk.name).string(), error);
    if (!table) {
        DBG_ERR("%s:%d: %s", error.c_str());
        Fail(ERROR_IO_DEVICE);
    }
    return table;
}

std::optional<VolumeFacts> LinuxVolumes::Probe(const BlockPartition& partition) const
{
    std::string error;
    auto facts = ProbeFileSystem(m_Run, partition.path, error);
    if (!facts) {
        DBG_MSG("%s:%d: %s", error.c_str());
        Fail(ERROR_UNRECOGNIZED_VOLUME);
        return std::nullopt;
    }
    VolumeFacts volume;
    volume.fileSystem = std::move(*facts);
    volume.mountPoint = MountPointOf(partition);
    struct statvfs space {};
    if (!volume.mountPoint.empty() && ::statvfs(volume.mountPoint.c_str(), &space) == 0) {
        volume.spaceKnown = true;
        volume.clusterBytes = static_cast<uint32_t>(space.f_frsize);
        volume.totalBytes = static_cast<uint64_t>(space.f_blocks) * space.f_frsize;
        volume.freeBytes = static_cast<uint64_t>(space.f_bavail) * space.f_frsize;
    }
    SetLastError(ERROR_SUCCESS);
    return volume;
}

std::string LinuxVolumes::MountPointOf(const BlockPartition& partition) const
{
    for (const MountEntry& mount : m_Tree.Mounts())
        if ((!partition.deviceNumber.empty() && mount.deviceNumber == partition.deviceNumber) ||
            mount.source == partition.path)
            return mount.mountPoint;
    return {};
}

bool LinuxVolumes::IsMountPoint(const fs::path& folder) const
{
    for (const MountEntry& mount : m_Tree.Mounts())
        if (mount.mountPoint == folder.string()) return true;
    return false;
}

bool LinuxVolumes::KernelHas(const std::string& type) const
{
    std::ifstream filesystems(m_Tree.Under("proc/filesystems"));
    for (std::string line; std::getline(filesystems, line);) {
        std::istringstream words(line);
        std::string word, last;
        while (words >> word) last = word;
        if (last == type) return true;
    }
    // A driver built as a module is loaded by the mount itself.
    std::ifstream release(m_Tree.Under("proc/sys/kernel/osrelease"));
    std::string version;
    if (!std::getline(release, version) || version.empty()) return false;
    std::error_code ec;
    const fs::path folder = m_Tree.Under("lib/modules/" + version + "/kernel/fs/" + (type == "vfat" ? "fat" : type));
    for (const auto& entry : fs::directory_iterator(folder, ec))
        if (entry.path().filename().string().rfind(type + ".ko", 0) == 0) return true;
    return false;
}

bool LinuxVolumes::MayChange(const BlockPartition& partition, const std::string& diskRefusal, const char* change) const
{
    if (!MayTouch(partition, diskRefusal, change)) return false;
    if (const std::string mountPoint = MountPointOf(partition); !mountPoint.empty()) {
        DBG_ERR("%s:%d: %s not %s: mounted at %s", partition.name.c_str(), change, mountPoint.c_str());
        return Fail(ERROR_ACCESS_DENIED);
    }
    return true;
}

bool LinuxVolumes::MakeMountFolder(const fs::path& folder) const
{
    const fs::path volumes = folder.parent_path();
    if (!MakeOwnFolder(volumes.parent_path().parent_path(), 0755) || !MakeOwnFolder(volumes.parent_path(), 0700) ||
        !MakeOwnFolder(volumes, 0700) || ::chmod(volumes.c_str(), 0700) != 0) {
        DBG_ERR("%s:%d: the run folder %s cannot be used", volumes.c_str());
        return Fail(ERROR_ACCESS_DENIED);
    }
    if (IsMountPoint(folder)) {
        DBG_ERR("%s:%d: %s is a mount point already", folder.c_str());
        return Fail(ERROR_ACCESS_DENIED);
    }
    std::error_code ec;
    if (!MakeOwnFolder(folder, 0700) || !fs::is_empty(folder, ec) || ec) {
        DBG_ERR("%s:%d: %s is not an empty folder: nothing is mounted over it", folder.c_str());
        return Fail(ERROR_ACCESS_DENIED);
    }
    return true;
}

std::optional<fs::path> LinuxVolumes::Mount(const BlockPartition& partition, const std::string& diskRefusal,
                                            const std::string& name) const
{
    if (!IsMountName(name)) {
        DBG_ERR("%s:%d: \"%s\" is no mount-point name", name.c_str());
        Fail(ERROR_INVALID_NAME);
        return std::nullopt;
    }
    const fs::path folder = MountFolder(name);
    if (!MayTouch(partition, diskRefusal, "mounted")) return std::nullopt;
    if (const std::string mountPoint = MountPointOf(partition); !mountPoint.empty()) {
        if (mountPoint == folder.string()) return folder;
        DBG_ERR("%s:%d: %s not mounted at %s: it is mounted at %s", partition.name.c_str(), folder.c_str(),
                mountPoint.c_str());
        Fail(ERROR_ACCESS_DENIED);
        return std::nullopt;
    }
    const auto volume = Probe(partition);
    if (!volume) return std::nullopt;
    const std::string& fileSystem = volume->fileSystem.fileSystem;
    std::string type, options = kMountOptions;
    if (fileSystem == "NTFS") {
        type = KernelHas("ntfs3") ? "ntfs3" : "ntfs-3g";
    } else if (fileSystem == "exFAT") {
        type = KernelHas("exfat") ? "exfat" : "exfat-fuse";
    } else if (KernelHas("vfat")) {
        type = "vfat";
        options += ",utf8";
    } else {
        DBG_ERR("%s:%d: %s not mounted: the kernel has no FAT driver", partition.name.c_str());
        Fail(ERROR_NOT_SUPPORTED);
        return std::nullopt;
    }
    if (!MakeMountFolder(folder)) return std::nullopt;
    if (!RunChange({"mount", "-t", type, "-o", options, partition.path, folder.string()}, kMountTimeLimitMs)) {
        const uint32_t error = GetLastError();
        std::error_code ec;
        fs::remove(folder, ec);  // empty: checked before the mount
        SetLastError(error);
        return std::nullopt;
    }
    SetLastError(ERROR_SUCCESS);
    return folder;
}

bool LinuxVolumes::Unmount(const std::string& name) const
{
    if (!IsMountName(name)) {
        DBG_ERR("%s:%d: \"%s\" is no mount-point name", name.c_str());
        return Fail(ERROR_INVALID_NAME);
    }
    const fs::path folder = MountFolder(name);
    if (IsMountPoint(folder) && !RunChange({"umount", folder.string()}, kMountTimeLimitMs)) return false;
    std::error_code ec;
    fs::remove(folder, ec);  // only an empty folder goes
    if (ec) {
        DBG_ERR("%s:%d: %s stays: %s", folder.c_str(), ec.message().c_str());
        return Fail(ERROR_ACCESS_DENIED);
    }
    SetLastError(ERROR_SUCCESS);
    return true;
}

bool LinuxVolumes::Format(const BlockPartition& partition, const std::string& diskRefusal,
                          const std::string& fileSystem, const std::string& label) const
{
    if (!MayChange(partition, diskRefusal, "formatted")) return false;
    const uint32_t sectorSize = partition.sectorSize ? partition.sectorSize : 512;
    FormatTarget target;
    target.path = partition.path;
    // A partition is a block node; a plain file stands for one only in a recorded tree.
    target.regularFile = !IsBlockDevice(partition.path);
    target.hiddenSectors = partition.startBytes / sectorSize;
    target.bytesPerSector = sectorSize;
    const auto command = QuickFormatCommand(fileSystem, target, label);
    if (!command) {
        DBG_ERR("%s:%d: %s not formatted: no quick format for \"%s\"", partition.name.c_str(), fileSystem.c_str());
        return Fail(ERROR_INVALID_PARAMETER);
    }
    return RunChange(*command, kFormatTimeLimitMs);
}

bool LinuxVolumes::SetLabel(const BlockPartition& partition, const std::string& diskRefusal,
                            const std::string& label) const
{
    if (!MayChange(partition, diskRefusal, "labelled")) return false;
    const auto volume = Probe(partition);
    if (!volume) return false;
    const auto command = LabelCommand(volume->fileSystem.fileSystem, partition.path, label);
    if (!command) {
        DBG_ERR("%s:%d: %s: the label \"%s\" cannot be set on %s", partition.name.c_str(), label.c_str(),
                volume->fileSystem.fileSystem.c_str());
        return Fail(ERROR_INVALID_PARAMETER);
    }
    return RunChange(*command, kLabelTimeLimitMs);
}

bool LinuxVolumes::RunChange(const std::vector<std::string>& command, int64_t timeLimitMs) const
{
    const ToolRun run = m_Run(command, timeLimitMs);
    if (run.Succeeded()) {
        SetLastError(ERROR_SUCCESS);
        return true;
    }
    DBG_ERR("%s:%d: %s failed (exit %d%s): %s", command.front().c_str(), run.exitCode,
            run.timedOut ? ", time limit reached" : "", run.output.c_str());
    return Fail(!run.started ? ERROR_FILE_NOT_FOUND : run.timedOut ? ERROR_SEM_TIMEOUT : ERROR_IO_DEVICE);
}

}  // namespace platform::linuxst
