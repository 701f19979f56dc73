#pragma once
// The Linux station: real bridges over SG_IO, the USB tree and the disks from
// sysfs, hot-plug from udev, all under a root folder ("/", or a fixture tree).
// It answers the tool's requests (the USB tree, disks by number, SCSI commands,
// sectors, partition tables and volumes) from what Linux shows.
//
// Disk numbers are the station's own and stay with a disk while it is present:
// disk 0 is the disk holding "/", every other disk takes the lowest free number
// when first seen. Disk 0, a disk with a partition mounted at a system path and
// a disk not behind a bridge (USB vendor ID of a bridge) are refused for
// commands, writes and every change to their partitions and volumes.
//
// Volumes are the partitions that may carry a file system. The station mounts
// one into its run folder (ROOT/run/deveda/volumes/disk<N>p<M>) only while its
// files are worked on, or for a moment to learn its free space, so that a drive
// pulled after a run carries cleanly unmounted file systems. Formats, labels and
// partitioning unmount what the station mounted and refuse volumes mounted
// anywhere else. The system's tools never run while the station's lock is held.
#include <cstdint>
#include <map>
#include <memory>
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
#include "util/ThreadAnnotations.h"

namespace platform::linuxst {

// USB vendor IDs of the bridges: 2B9D, and any listed in $DEVEDA_BRIDGE_VIDS
// ("2B9D,1E4E").
std::set<uint16_t> BridgeVendorIds();

// What the station knows about its volumes beyond the tree (VolumeBook.h):
// locks and dismounts by handles, operations under way, mounts for file views.
struct VolumeBook;

class LinuxStation final : public IStation {
public:
    LinuxStation(const std::string& root, IoctlFunction ioctl);
    ~LinuxStation() override;
    LinuxStation(const LinuxStation&) = delete;
    LinuxStation& operator=(const LinuxStation&) = delete;

    // A disk by number opens its command node (the sg node, else the block node)
    // and, on the first transfer, its block node; a partition opens that
    // partition's block node as a volume. A refused disk or its partitions open
    // for queries only (no node is opened; ERROR_ACCESS_DENIED for kData).
    // kQuery opens the command node read-write when allowed, else read-only,
    // else not at all. CD-ROMs are not among the disks the tree shows:
    // ERROR_FILE_NOT_FOUND.
    HANDLE OpenDisk(const DiskTarget& target, DiskAccess access) override;
    // Closing a handle releases the volume lock it holds.
    bool CloseHandle(HANDLE handle) override;
    bool HandleTarget(HANDLE handle, DiskTarget& target) override;
    bool SendScsi(HANDLE device, const ScsiRequest& request, ScsiOutcome& outcome) override;

    // The USB devices as sysfs shows them now (SysfsTree::UsbNodes).
    std::vector<UsbNode> UsbTree() override;

    // Size and logical sector size from sysfs; removable from its "removable" flag.
    bool GetDiskCapacity(HANDLE handle, DiskCapacity& capacity) override;
    bool ReadAt(HANDLE handle, uint64_t offset, void* buffer, uint32_t length, uint32_t* transferred) override;
    bool WriteAt(HANDLE handle, uint64_t offset, const void* buffer, uint32_t length, uint32_t* transferred) override;
    // sfdisk's reading of the disk (LinuxVolumes::ReadPartitionTable).
    bool ReadPartitionTable(HANDLE disk, platform::PartitionTable& table) override;
    // BLKRRPART on the whole disk's block node, through the ioctl seam. The
    // kernel refuses (ERROR_ACCESS_DENIED) while a partition of the disk is
    // mounted or open.
    bool RereadPartitionTable(HANDLE handle) override;
    // sfdisk lays the plan's table on the disk (SfdiskScript.h), wiping every
    // old signature; volumes the station mounted on the disk are unmounted first.
    // A refused disk, an unknown one, a disk with a volume mounted elsewhere or
    // locked by a handle is refused before any tool runs.
    bool ApplyPartitionPlan(const PartitionPlan& plan) override;

    // Lock and dismount unmount the volume when the station mounted it in its
    // run folder, and are refused when it is mounted anywhere else, on a
    // refused disk, and (lock) while its files are worked on. Unlock ends the
    // handle's lock and its dismount.
    bool LockVolume(HANDLE handle) override;
    bool DismountVolume(HANDLE handle) override;
    bool UnlockVolume(HANDLE handle) override;
    // The partition holding "/" first, then every partition that may carry a
    // file system (not an extended container, not a Microsoft reserved
    // partition, as far as sysfs and udev's records tell) of every disk.
    std::vector<VolumeLocation> Volumes() override;
    // blkid's reading of the partition; the cluster figures from the mounted
    // file system (mounted for the moment when the station may mount it). The
    // system volume is answered from statvfs of the root.
    bool ProbeVolume(uint32_t disk, uint32_t partition, ProbedVolume& volume) override;
    bool FormatVolume(uint32_t disk, uint32_t partition, const std::string& fileSystem) override;
    // A volume the station has mounted is unmounted, labelled and mounted again
    // at the same folder.
    bool SetVolumeLabel(uint32_t disk, uint32_t partition, const std::string& label) override;
    // Mounts the volume at ROOT/run/deveda/volumes/disk<N>p<M> and hands out its
    // files there; the last view released unmounts it again.
    std::unique_ptr<IVolumeFiles> OpenVolumeFiles(uint32_t disk, uint32_t partition, std::string& error) override;

    // Replace how the system's tools are started (tests): sfdisk writing a
    // table, and the time-limited volume tools (sfdisk --json, blkid, mount,
    // umount, mkfs.*, *label). Set before the station is used.
    void SetToolRunner(ToolRunner runner) { m_RunTool = std::move(runner); }
    void SetVolumeToolRunner(LimitedToolRunner runner);

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
    // A file descriptor closed when its last user lets go, so that a handle
    // closed on one thread never pulls a node from under a transfer on another.
    struct Descriptor {
        explicit Descriptor(int descriptor) : fd(descriptor) {}
        ~Descriptor();
        Descriptor(const Descriptor&) = delete;
        Descriptor& operator=(const Descriptor&) = delete;
        const int fd;
    };
    struct OpenDevice {
        DiskTarget target;
        DiskAccess access = DiskAccess::kQuery;
        std::string name;             // the whole disk's block device name
        uint32_t sectorSize = 512;    // the disk's logical sector size
        std::string refusal;          // the disk's refusal when opened
        BlockPartition partition;     // volume handles: the partition
        std::shared_ptr<Descriptor> command;  // the sg (or block) node for commands
        uint32_t commandError = ERROR_SUCCESS;  // why there is no command node
        std::shared_ptr<Descriptor> block;    // the block node, opened on the first transfer
    };
    // One disk with its number, its USB device and its refusal.
    struct Disk {
        BlockDisk block;
        uint32_t number = 0;
        const UsbNode* usb = nullptr;  // into m_Usb
        std::string refusal;
    };
    // A partition of a disk as the volume requests find it.
    struct Volume {
        uint32_t disk = 0;
        std::string diskName;
        std::string refusal;  // the disk's
        bool system = false;  // holds "/"
        BlockPartition partition;
    };

    // Reads the tree again and gives every disk its number.
    void Refresh() REQUIRES(m_Lock);
    const UsbNode* FindNode(const std::string& name) const REQUIRES(m_Lock);
    const Disk* FindDisk(uint32_t number) const REQUIRES(m_Lock);
    const Disk* FindDiskByName(const std::string& name) const REQUIRES(m_Lock);
    bool Find(HANDLE handle, OpenDevice& device) const REQUIRES(m_Lock);
    // The disk an open handle reaches now (the tree read again when needed);
    // nullptr (ERROR_DEVICE_NOT_CONNECTED) when it left or its name went to another disk.
    const Disk* CurrentDisk(const OpenDevice& device) REQUIRES(m_Lock);
    HANDLE Add(OpenDevice device) REQUIRES(m_Lock);
    // The partition `partition` of disk `disk` as the tree shows it now; false
    // (last error set) when there is none.
    bool FindVolume(uint32_t disk, uint32_t partition, Volume& volume) EXCLUDES(m_Lock);
    // Whether a partition of the disk `diskName` may carry a file system: not an
    // extended container (1 KiB in the kernel's view), not a partition the kernel
    // names "Microsoft reserved partition" or udev's record gives the reserved
    // or an extended type (a record describing another place is not believed).
    bool MayCarryFileSystem(const std::string& diskName, const BlockPartition& partition) const;
    // False (ERROR_ACCESS_DENIED, traced) for the system volume and a volume of a refused disk.
    bool MayChange(const Volume& volume, const char* change) const;
    // The block node of an open handle for a transfer, opened on first use;
    // nullptr (last error set) when the handle moves no sectors.
    std::shared_ptr<Descriptor> BlockNode(HANDLE handle, bool write, OpenDevice& device) EXCLUDES(m_Lock);
    // The name of a folder of the run folder ("disk3p1"); empty for any other path.
    std::string RunFolderName(const std::string& mountPoint) const;
    // Unmounts the volume when the station mounted it in its run folder; false
    // (ERROR_ACCESS_DENIED, traced) when it is mounted anywhere else, or when
    // umount fails. Runs a tool: never under m_Lock.
    bool UnmountOwn(const Volume& volume, const char* change) EXCLUDES(m_Lock);
    // A volume handle's partition and refusal for Lock and Dismount; false (last error set) when none.
    bool VolumeOfHandle(HANDLE handle, Volume& volume, const char* change) EXCLUDES(m_Lock);
    // Locks (or dismounts) the volume of `handle` for it: the station's own
    // mount goes first; refused when another handle holds it.
    bool HoldVolume(HANDLE handle, bool dismount) EXCLUDES(m_Lock);

    SysfsTree m_Tree;
    IoctlFunction m_Ioctl;
    SysfsPcie m_Pcie{m_Tree.Root()};
    std::set<uint16_t> m_BridgeVendorIds = BridgeVendorIds();
    mutable util::Mutex m_Lock;
    std::vector<UsbNode> m_Usb GUARDED_BY(m_Lock);
    std::vector<Disk> m_Disks GUARDED_BY(m_Lock);
    std::map<std::string, uint32_t> m_Numbers GUARDED_BY(m_Lock);  // disk identity -> its number
    std::string m_RootDevice GUARDED_BY(m_Lock);                    // "major:minor" mounted at "/"
    std::map<uintptr_t, OpenDevice> m_Handles GUARDED_BY(m_Lock);
    uintptr_t m_NextHandle GUARDED_BY(m_Lock) = 0x100;
    // Shared with the file views handed out, which may outlive the station.
    std::shared_ptr<VolumeBook> m_Book;
    std::mutex m_NotifyLock;
    ToolRunner m_RunTool = [](const std::vector<std::string>& argv, const std::string& input) {
        return RunTool(argv, input);
    };
    DiskArrivalLog m_Arrivals;
    UdevMonitor m_Monitor;  // last: stops before the rest goes
};

}  // namespace platform::linuxst
