#pragma once
// The emulated station: disks, SCSI commands, partition tables and volumes
// served by the device models of emu/, with the world kept in a folder. Requests to one bridge
// are serialised across threads and processes by a lock file in its folder.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "emu/World.h"
#include "platform/Station.h"
#include "platform/emu/EmuPcie.h"

namespace platform {

// One pass-through request as the emulated device received it.
struct EmuRequest {
    int disk = -1;  // disk number the handle was opened for (-1: CD-ROM path)
    uint32_t ioControlCode = 0;
    uint32_t inBufferSize = 0;
    uint32_t outBufferSize = 0;
    uint8_t cdbLength = 0;
    std::vector<uint8_t> cdb;  // the first cdbLength bytes
    uint8_t dataIn = 0;
    uint32_t dataTransferLength = 0;
    uint32_t timeOutValue = 0;
    uint8_t senseInfoLength = 0;
    std::vector<uint8_t> dataOut;  // the data phase of a write
    int64_t atMs = 0;               // station time at which it arrived
};

class EmuStation final : public IStation {
public:
    // Opens the station kept in `folder`, creating it with 4 default bridges when
    // the folder holds none.
    explicit EmuStation(std::filesystem::path folder);

    HANDLE OpenDisk(const DiskTarget& target, DiskAccess access) override;
    bool CloseHandle(HANDLE handle) override;
    bool HandleTarget(HANDLE handle, DiskTarget& target) override;
    // Counts and journals every pass-through block, then answers it as any station does.
    bool DeviceIoControl(HANDLE handle, uint32_t ioControlCode, void* inBuffer, uint32_t inBufferSize,
                         void* outBuffer, uint32_t outBufferSize, uint32_t* bytesReturned) override;
    bool SendScsi(HANDLE device, const ScsiRequest& request, ScsiOutcome& outcome) override;

    // The USB tree: controller C is bus C+1 with root hub "usbB"; the device on
    // port P of a root hub is "B-P", on port P of hub "X" it is "X.P" (EmuUsbTree.cpp).
    std::vector<UsbNode> UsbTree() override;

    emu::World& World() { return m_World; }
    // Runs `change` on a bridge under its lock and saves it; false when the
    // bridge does not exist or cannot be saved.
    bool ModifyBridge(int id, const std::function<void(emu::Bridge&)>& change);
    // Plugs a bridge in (it boots on a free disk number) or pulls it out, and
    // tells the registered handler; false when there is no such bridge.
    bool SetBridgePlugged(int id, bool plugged);
    // Runs `change` on the world under the station lock.
    bool ModifyWorld(const std::function<bool(emu::World&)>& change);
    // The requests received so far (the last 4096), oldest first.
    std::vector<EmuRequest> Journal() const;
    void ClearJournal();
    // Calls `watcher` with every pass-through request as it arrives, before it is
    // answered, on the thread that sent it, so that a test acts at an exact moment
    // of a run (pulls a bridge out when a command first arrives). The watcher may
    // call this station's other operations; an empty function removes it.
    using RequestWatcher = std::function<void(const EmuRequest&)>;
    void SetRequestWatcher(RequestWatcher watcher);
    size_t OpenHandleCount() const;
    // Every DeviceIoControl call made, valid or not.
    int IoControlCalls() const { return m_IoControlCalls.load(); }

    // --- disks and volumes (EmuDisk.cpp) ---
    // The system disk (disk 0) holds the system volume, partition 1. On the disk
    // of every present bridge (not in CD-ROM mode) whose image carries an MBR or
    // GPT partition table, every partition that can carry a file system (not an
    // extended container, not the Microsoft reserved partition) is a volume.
    // Writes to disk 0 and to the system volume are refused (ERROR_ACCESS_DENIED).
    bool GetDiskCapacity(HANDLE handle, DiskCapacity& capacity) override;
    bool ReadAt(HANDLE handle, uint64_t offset, void* buffer, uint32_t length, uint32_t* transferred) override;
    bool WriteAt(HANDLE handle, uint64_t offset, const void* buffer, uint32_t length, uint32_t* transferred) override;
    bool ReadPartitionTable(HANDLE handle, PartitionTable& table) override;
    // Volumes are found afresh whenever the disks change.
    bool RereadPartitionTable(HANDLE handle) override;
    // The emulated partitioning tool (emu::RunDiskPartScript) given the plan's
    // commands, on the disk images of the present bridges, under each bridge's
    // lock; the tool's messages go to the trace. Disk 0 and decoys are refused.
    bool ApplyPartitionPlan(const PartitionPlan& plan) override;
    bool LockVolume(HANDLE handle) override;
    bool DismountVolume(HANDLE handle) override;
    bool UnlockVolume(HANDLE handle) override;
    std::vector<VolumeLocation> Volumes() override;
    // FAT32 read by the station itself; NTFS and exFAT by their records (VolumeProbe.h).
    bool ProbeVolume(uint32_t disk, uint32_t partition, ProbedVolume& volume) override;
    // The system's mkfs.ntfs or mkfs.exfat, and ntfslabel, exfatlabel or fatlabel,
    // run on the volume's byte range of the bridge's disk image, under the
    // bridge's lock (EmuVolumeFormat.cpp). The system volume is refused.
    bool FormatVolume(uint32_t disk, uint32_t partition, const std::string& fileSystem) override;
    bool SetVolumeLabel(uint32_t disk, uint32_t partition, const std::string& label) override;
    // FAT32 volumes of bridges only, through mtools (EmuVolumeFiles.cpp).
    std::unique_ptr<IVolumeFiles> OpenVolumeFiles(uint32_t disk, uint32_t partition, std::string& error) override;

    struct EmuVolume {
        std::optional<int> bridgeId;  // none: the system volume
        uint32_t disk = 0;
        uint32_t partition = 0;
        uint64_t offset = 0;  // bytes from the start of the disk
        uint64_t length = 0;
    };
    // The volumes as they are now, the system volume first.
    std::vector<EmuVolume> EmuVolumes();

    // --- PCIe functions (EmuPcie.cpp) ---
    // Bridges in PCIe-tunnel mode appear as switch ports whose configuration
    // space carries the register mailbox; the layout is in EmuPcie.h.
    std::vector<PcieFunction> PcieFunctions() override { return m_Pcie->Functions(); }
    std::unique_ptr<IPcieRegion> OpenPcieConfig(const PcieLocation& location) override
    {
        return m_Pcie->OpenConfig(location);
    }
    std::unique_ptr<IPcieRegion> MapPcieBar(const PcieLocation& location, int bar) override
    {
        return m_Pcie->MapBar(location, bar);
    }
    EmuPcie& Pcie() { return *m_Pcie; }

    // Device notifications come from a watcher thread that sleeps until the
    // world changes (an event of this process, station.ini rewritten by another
    // one) or a reset bridge is due back.
    void RegisterDeviceNotification(DeviceChangeHandler handler) override;
    void UnregisterDeviceNotification() override;

    // Disk arrivals are the world's arrival events; a mark is its event count.
    bool TracksDiskArrivals() const override { return true; }
    uint64_t DiskArrivalMark() override;
    std::vector<uint32_t> DisksArrivedSince(uint64_t mark) override;
    bool WaitForDiskArrival(uint64_t mark, int64_t ms) override;

    bool IsEmulated() const override { return true; }
    std::string Describe() const override;
    std::string RunLockPath() const override { return (m_World.Folder() / "run.lock").string(); }
    std::vector<DiskDevice> Disks() override;
    // A bridge with "pd.replug_ms" is pulled out now and plugged in again that long
    // afterwards (station time), unless it is set never to come back; others wait
    // for "emu replug".
    bool OperatorPowerCycle(uint32_t disk) override;

private:
    struct OpenDevice {
        DiskTarget target;            // partition > 0: a volume handle
        DiskAccess access = DiskAccess::kQuery;
        std::optional<int> bridgeId;  // disks, CD-ROMs and volumes that are bridges
        std::optional<int> decoyId;   // disks that are decoys
        bool dismounted = false;      // a volume handle that dismounted its volume
    };
    // The disks (or the CD-ROMs) the station's storage stack knows, by kind of device.
    std::vector<DiskDevice> StorageDevices(uint32_t deviceType) const;
    // Adds the nodes on the ports of `parent`, hub `hub` (0: the root hub) of
    // `controller`, each hub followed by the nodes behind it, `tier` hubs deep.
    void AddPortNodes(int controller, int hub, const UsbNode& parent, int tier, std::vector<UsbNode>& tree) const;
    // The volumes read from the disks now (Volumes keeps the last listing until
    // the world or a disk changes).
    std::vector<EmuVolume> ScanVolumes();
    // The lowest free disk or CD-ROM number other than `avoid`.
    int FreeNumber(uint32_t deviceType, int avoid) const;
    // Brings back every reset bridge whose time off the bus is over; returns the
    // station time at which the next one is due, -1 when none is.
    int64_t SettleWorld();
    // Changes of the world seen by this station object: a count that rises with
    // every change, and a wait of up to `ms` for it to pass `seen`.
    void NotifyChange();
    uint64_t ChangeCount();
    void WaitForChange(uint64_t seen, int64_t ms);
    // Starts (once) the thread that turns another process's rewrite of
    // station.ini into a change.
    void WatchStationFolder();
    // The folder watch's loop: wakes the waiters when another process changes
    // station.ini, until `stop` is requested (which writes to `stopper`).
    void WatchForChanges(int watch, int stopper, const std::stop_token& stop);
    // What a disk number is: a bridge, a decoy, or the system disk (0).
    bool ResolveDisk(OpenDevice& device) const;
    bool FindHandle(HANDLE handle, OpenDevice& device) const;
    // The volume (disk, partition) of the station now; nullopt (last error set) when gone.
    std::optional<EmuVolume> FindVolume(uint32_t disk, uint32_t partition);
    // The volume a volume handle still reaches; false (last error set) when gone.
    bool HandleVolume(const OpenDevice& device, EmuVolume& volume);
    // Byte transfer on the disk of a handle, under the bridge's lock.
    bool DiskTransfer(const OpenDevice& device, uint64_t offset, uint8_t* data, uint32_t length, bool write,
                      uint32_t* transferred);
    // Runs `work` on the disk image of the bridge volume (disk, partition) under
    // the bridge's lock, with the volume as it is now. False (last error set) when
    // it is no bridge's volume, the bridge is gone or its writes fail.
    bool WithVolumeImage(uint32_t disk, uint32_t partition,
                         const std::function<bool(const std::filesystem::path& image, const EmuVolume& volume)>& work);
    bool Dispatch(const OpenDevice& device, emu::ScsiExchange& exchange);
    void Record(EmuRequest request);

    emu::World m_World;
    mutable std::mutex m_Lock;
    std::map<uintptr_t, OpenDevice> m_Handles;
    uintptr_t m_NextHandle = 0x100;
    std::deque<EmuRequest> m_Journal;
    std::shared_ptr<const RequestWatcher> m_RequestWatcher;  // guarded by m_Lock; null when none
    std::atomic<int> m_IoControlCalls{0};
    std::map<int, uintptr_t> m_VolumeLocks;  // volume (bridge id, 0 for C:) -> locking handle
    std::unique_ptr<EmuPcie> m_Pcie = std::make_unique<EmuPcie>(*this);
    // The last volume listing and the generations it was read at (guarded by m_VolumeLock).
    std::mutex m_VolumeLock;
    std::optional<std::vector<EmuVolume>> m_Volumes;
    uint64_t m_VolumeState = 0, m_VolumeDisks = 0;
    // Change wake-ups (see ChangeCount); the count is guarded by m_ChangeLock.
    std::mutex m_ChangeLock;
    std::condition_variable m_ChangeWake;
    uint64_t m_ChangeCount = 0;
    std::once_flag m_FolderWatchStarted;
    std::jthread m_FolderWatch;
    // Device notifications: a watcher thread follows the world's event counter.
    std::mutex m_NotifyLock;
    DeviceChangeHandler m_Handler;
    // The emulated operator's pending replugs: they change the world and wake the
    // waiters, so they end before any member they touch is torn down.
    std::mutex m_OperatorLock;
    std::vector<std::jthread> m_OperatorReplugs;
    std::jthread m_Watcher;  // last member: stops before the rest is torn down
};

// Whether `folder` holds an emulated station made by "emu init"; false with
// `error` set (what is wrong and how to make one) otherwise.
bool CheckEmulatedStationFolder(const std::string& folder, std::string& error);
// The clock of the emulated station kept in `folder`: a scaled clock on the
// station's time line when it was told to run faster than real time, so that
// every process using the station reads the same time; null when it keeps real time.
std::shared_ptr<const util::Clock> EmulatedStationClock(const std::filesystem::path& folder);

}  // namespace platform
