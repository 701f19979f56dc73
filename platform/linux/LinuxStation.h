#pragma once
// The Linux station: real bridges over SG_IO, the USB tree and the disks from
// sysfs, hot-plug from udev, all under a root folder ("/", or a fixture tree).
// It answers the tool's requests (the USB tree, disks by number, pass-through
// blocks) from what Linux shows.
//
// Disk numbers are the station's own and stay with a disk while it is present:
// disk 0 is the disk holding "/", every other disk takes the lowest free number
// when first seen. Disk 0, a disk with a partition mounted at a system path and
// a disk not behind a bridge (USB vendor ID of a bridge) are refused for
// commands and writes.
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/Station.h"
#include "platform/ToolProcess.h"
#include "platform/linux/DiskArrivals.h"
#include "platform/linux/SgIo.h"
#include "platform/linux/SysfsPcie.h"
#include "platform/linux/SysfsTree.h"
#include "platform/linux/UdevEvents.h"

namespace platform::linuxst {

// USB vendor IDs of the bridges: 2B9D, and any listed in $DEVEDA_BRIDGE_VIDS
// ("2B9D,1E4E").
std::set<uint16_t> BridgeVendorIds();

class LinuxStation final : public IStation {
public:
    LinuxStation(const std::string& root, IoctlFunction ioctl);

    HANDLE CreateFile(const std::string& path, uint32_t desiredAccess, uint32_t shareMode,
                      uint32_t creationDisposition, uint32_t flagsAndAttributes) override;
    bool CloseHandle(HANDLE handle) override;
    bool SendScsi(HANDLE device, const ScsiRequest& request, ScsiOutcome& outcome) override;

    // The USB devices as sysfs shows them now (SysfsTree::UsbNodes).
    std::vector<UsbNode> UsbTree() override;

    bool GetDriveGeometryEx(HANDLE handle, DiskGeometryEx& geometry) override;
    bool GetDriveLayoutEx(HANDLE handle, DriveLayout& layout) override;
    bool GetStorageDeviceNumber(HANDLE device, StorageDeviceNumber& number) override;
    bool GetVolumeNameForVolumeMountPoint(const std::string& mountPoint, std::string& volumeName) override;
    bool GetVolumeDiskExtents(HANDLE handle, std::vector<DiskExtent>& extents) override;
    bool LockVolume(HANDLE handle) override;
    bool DismountVolume(HANDLE handle) override;
    bool UnlockVolume(HANDLE handle) override;
    bool UpdateDiskProperties(HANDLE handle) override;
    bool ReadAt(HANDLE handle, uint64_t offset, void* buffer, uint32_t length, uint32_t* transferred) override;
    bool WriteAt(HANDLE handle, uint64_t offset, const void* buffer, uint32_t length, uint32_t* transferred) override;
    bool GetDiskFreeSpace(const std::string& rootPath, DiskFreeSpace& space) override;
    bool GetVolumeInformation(const std::string& rootPath, VolumeInformation& information) override;
    uint32_t GetDriveType(const std::string& rootPath) override;
    bool FormatVolume(const std::string& rootPath, const std::string& fileSystem) override;
    bool SetVolumeLabel(const std::string& rootPath, const std::string& label) override;
    // The script's one disk gets the same partition table from sfdisk
    // (DiskPartPlan.h); a refused disk, an unknown one or a script this station
    // cannot carry out whole is refused before any tool runs.
    bool RunDiskPartScript(const std::string& scriptPath) override;
    // Replaces how the system's tools are started (tests).
    void SetToolRunner(ToolRunner runner) { m_RunTool = std::move(runner); }
    // Drive letters reach no mounted volume on this station yet: always nullptr.
    std::unique_ptr<IVolumeFiles> OpenVolumeFiles(const std::string& rootPath, std::string& error) override;

    // PCIe functions, their configuration space and BARs from sysfs (SysfsPcie.h).
    std::vector<PcieFunction> PcieFunctions() override { return m_Pcie.Functions(); }
    std::unique_ptr<IPcieRegion> OpenPcieConfig(const PcieLocation& location) override;
    std::unique_ptr<IPcieRegion> MapPcieBar(const PcieLocation& location, int bar) override;

    void RegisterDeviceNotification(DeviceChangeHandler handler) override;
    void UnregisterDeviceNotification() override;

    // Disk arrivals, from udev's monitor while device notifications are registered.
    bool TracksDiskArrivals() const override { return m_Arrivals.Following(); }
    uint64_t DiskArrivalMark() override { return m_Arrivals.Mark(); }
    std::vector<uint32_t> DisksArrivedSince(uint64_t mark) override;
    bool WaitForDiskArrival(uint64_t mark, int64_t ms) override;
    // What the monitor hears, noted for the arrivals (tests replay recorded events here).
    void NoteUdevEvent(const UdevEvent& event) { m_Arrivals.Note(event); }

    bool IsEmulated() const override { return false; }
    std::string Describe() const override;
    // One lock for the whole host, kept where the system keeps its run-time locks;
    // a station read from another root (a recorded tree) has its own lock in the
    // temporary folder, so that the tree itself is never written.
    std::string RunLockPath() const override;
    std::vector<DiskDevice> Disks() override;

private:
    struct OpenDevice {
        std::string name;     // the block device name
        uint32_t number = 0;  // disk number
        int fd = -1;          // disks opened for commands: the sg (or block) node
        int blockFd = -1;     // disks: the block node, opened on the first transfer
    };
    // One disk with its number, its USB device and its refusal.
    struct Disk {
        BlockDisk block;
        uint32_t number = 0;
        const UsbNode* usb = nullptr;  // into m_Usb
        std::string refusal;
    };

    // Reads the tree again and gives every disk its number. Caller holds m_Lock.
    void Refresh();
    const UsbNode* FindNode(const std::string& name) const;
    const Disk* FindDisk(uint32_t number) const;
    const Disk* FindDiskByName(const std::string& name) const;
    bool Find(HANDLE handle, OpenDevice& device) const;
    HANDLE Add(OpenDevice device);
    HANDLE OpenDisk(const Disk& disk, uint32_t desiredAccess);
    // The block node of an open disk, opened on first use; -1 (last error set) when it cannot be.
    int BlockFd(HANDLE handle, bool write);

    SysfsTree m_Tree;
    IoctlFunction m_Ioctl;
    SysfsPcie m_Pcie{m_Tree.Root()};
    std::set<uint16_t> m_BridgeVendorIds = BridgeVendorIds();
    mutable std::mutex m_Lock;
    std::vector<UsbNode> m_Usb;
    std::vector<Disk> m_Disks;
    std::map<std::string, uint32_t> m_Numbers;  // disk identity -> its number
    std::map<uintptr_t, OpenDevice> m_Handles;
    uintptr_t m_NextHandle = 0x100;
    std::mutex m_NotifyLock;
    ToolRunner m_RunTool = [](const std::vector<std::string>& argv, const std::string& input) {
        return RunTool(argv, input);
    };
    DiskArrivalLog m_Arrivals;
    UdevMonitor m_Monitor;  // last: stops before the rest goes
};

}  // namespace platform::linuxst
