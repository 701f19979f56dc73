#pragma once
// The station boundary: everything the tool asks of the host's operating system
// and hardware. The emulated station (platform/emu/) and the Linux station each
// implement it; nothing above platform/ calls the OS for these services.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/Pcie.h"
#include "platform/ScsiRequest.h"
#include "platform/VolumeFiles.h"
#include "platform/WinTypes.h"
#include "util/Clock.h"

namespace platform {

// Storage bus types.
constexpr uint8_t BusTypeScsi = 1;
constexpr uint8_t BusTypeUsb = 7;
constexpr uint8_t BusTypeSata = 11;
constexpr uint8_t BusTypeNvme = 17;

// --- USB tree ---
// One USB device as the station sees it: a root hub (standing for its host
// controller), an external hub or a function.
struct UsbNode {
    // The station's name for it, unique while it stays plugged in, without '#',
    // '\' or blanks ("usb2" for a root hub, "2-2.3" for port 3 of the hub on port 2).
    std::string name;
    int bus = 0;
    std::string parent;  // the hub it hangs on ("" for a root hub)
    int port = 0;        // its port on that hub (0 for a root hub)
    bool isHub = false;
    int portCount = 0;  // downstream ports of a hub
    // The device descriptor.
    uint16_t bcdUSB = 0, idVendor = 0, idProduct = 0, bcdDevice = 0;
    uint8_t deviceClass = 0, deviceSubClass = 0, deviceProtocol = 0, maxPacketSize0 = 0, numConfigurations = 0;
    uint8_t iManufacturer = 0, iProduct = 0, iSerialNumber = 0;  // string indices; 0: no such string
    // The strings as the system read them, in the first of `languages`; empty when none.
    std::string manufacturer, product, serial;
    std::vector<uint16_t> languages;  // the language IDs the device offers
    int speedMbps = 0;
    std::string driver;      // of its first interface: "uas", "usb-storage", "hub"
    std::string controller;  // root hubs: the host controller ("0000:00:14.0"), without '#'
};

// One disk as the station sees it, before any command reaches it.
struct DiskDevice {
    uint32_t diskNumber = 0;
    uint8_t busType = 0;
    std::string vendor, product, revision, serial;
    std::string usbPath;  // the USB device it hangs on ("2-2.3"), empty when none
    uint16_t usbVendor = 0, usbProduct = 0;
    std::string usbDriver;  // "uas", "usb-storage"
    bool cdrom = false;     // an optical drive: diskNumber is its CD-ROM number
    uint64_t sizeBytes = 0;
    uint32_t sectorSize = 0;
    std::string refusal;  // why the station never touches it; empty when it may
};

enum class DeviceChange { kArrival, kRemoveComplete };
using DeviceChangeHandler = std::function<void(DeviceChange change)>;

// --- disks and volumes ---
enum class DiskKind { kDisk, kCdrom };
// What a handle reaches: a whole disk (partition 0), one partition of a disk as
// a volume, or a CD-ROM, by the station's numbers.
struct DiskTarget {
    DiskKind kind = DiskKind::kDisk;
    uint32_t number = 0;     // disk or CD-ROM number
    uint32_t partition = 0;  // 0: the whole device
};
enum class DiskAccess {
    kQuery,  // size, layout and SCSI commands only; no sector transfers
    kData,   // also sector reads and writes
};
struct DiskCapacity {
    uint64_t sizeBytes = 0;  // 0 when the device reports none (an optical drive)
    uint32_t bytesPerSector = 0;
    bool removable = false;
};

enum class PartitionStyle { kRaw, kMbr, kGpt };  // kRaw: no partition table
struct PartitionSlot {
    // As the station numbers the partition (MBR: slot + 1; GPT: entry + 1); 0 for
    // an unused MBR slot.
    uint32_t number = 0;
    uint64_t offset = 0;  // bytes from the start of the disk
    uint64_t length = 0;
    uint8_t mbrType = 0;        // MBR: the type byte
    bool bootable = false;      // MBR: the active flag
    bool container = false;     // an extended partition, holding logical ones
    bool fileSystem = false;    // may carry a file system (not a container, not a reserved partition)
};
struct PartitionTable {
    PartitionStyle style = PartitionStyle::kRaw;
    uint32_t mbrSignature = 0;
    std::vector<PartitionSlot> entries;  // MBR: the four primary slots in order; GPT: the used entries
};
// One data partition on a cleaned disk, as the partitioning script asks for:
//   - MBR: one primary partition of type 0x06 from the first 1 MiB boundary (or
//     the offset) to the end of the disk, not active;
//   - GPT: a 16 MiB Microsoft reserved partition at 1 MiB, then the basic data
//     partition (number 2) from the next 1 MiB boundary (or the offset) to the
//     last usable sector.
struct PartitionPlan {
    uint32_t disk = 0;
    bool gpt = false;
    uint64_t offsetKiB = 0;  // 0: the first free 1 MiB boundary
};

// A partition that may carry a file system.
struct VolumeLocation {
    uint32_t disk = 0;
    uint32_t partition = 0;
    uint64_t offset = 0;  // bytes from the start of the disk
    uint64_t length = 0;
    bool system = false;  // the system volume ("/", drive C): read, never changed
};
// What the file system on a volume says about itself.
struct ProbedVolume {
    std::string fileSystem;  // "FAT32", "NTFS" or "exFAT"
    std::string label;       // UTF-8
    uint32_t serial = 0;
    uint32_t bytesPerSector = 0;
    uint32_t sectorsPerCluster = 0;
    uint64_t totalClusters = 0;
    uint64_t freeClusters = 0;
};

class IStation {
public:
    virtual ~IStation() = default;

    // --- disks ---
    // Opens a disk, one of its partitions (a volume) or a CD-ROM.
    // INVALID_HANDLE_VALUE with the last error set when there is no such device.
    virtual HANDLE OpenDisk(const DiskTarget& target, DiskAccess access) = 0;
    virtual bool CloseHandle(HANDLE handle) = 0;
    // What an open handle reaches.
    virtual bool HandleTarget(HANDLE handle, DiskTarget& target) = 0;

    // One SCSI command on an opened disk: the boundary's own request. False (last
    // error set) when the handle cannot carry commands; otherwise true with the
    // outcome, a failed transport included.
    virtual bool SendScsi(HANDLE device, const ScsiRequest& request, ScsiOutcome& outcome) = 0;

    // Synchronous device I/O control as the host side issues it:
    // IOCTL_SCSI_PASS_THROUGH with a SCSI_PASS_THROUGH header at the start of the
    // buffers, or IOCTL_SCSI_PASS_THROUGH_DIRECT with a SCSI_PASS_THROUGH_DIRECT
    // header. The block is read as a ScsiRequest, sent with SendScsi and answered
    // in the block. Returns false and sets the last error when the call fails.
    virtual bool DeviceIoControl(HANDLE handle, uint32_t ioControlCode, void* inBuffer, uint32_t inBufferSize,
                                 void* outBuffer, uint32_t outBufferSize, uint32_t* bytesReturned);

    // --- USB tree ---
    // Every USB device present now, root hubs first by bus, each hub before the
    // devices on it.
    virtual std::vector<UsbNode> UsbTree() = 0;
    // String descriptor `index` of `node` in `languageId`; index 0 gives the
    // language IDs as the characters of `text`. False (last error set) when the
    // device has no such string. By default the strings the system read when the
    // device arrived answer, in its first language only.
    virtual bool ReadUsbString(const UsbNode& node, uint8_t index, uint16_t languageId, std::u16string& text);

    // --- disk contents ---
    // Every call returns false and sets the last error when it fails.
    // Size and sector size of the disk a disk or volume handle reaches.
    virtual bool GetDiskCapacity(HANDLE handle, DiskCapacity& capacity) = 0;
    // Positioned transfers on a disk or volume handle opened for data; offset and
    // length are whole sectors, a volume's offsets count from its start.
    // `transferred` receives the bytes moved (fewer at the end of the device).
    // Writes to a volume need it locked or dismounted by the same handle.
    virtual bool ReadAt(HANDLE handle, uint64_t offset, void* buffer, uint32_t length, uint32_t* transferred) = 0;
    virtual bool WriteAt(HANDLE handle, uint64_t offset, const void* buffer, uint32_t length,
                         uint32_t* transferred) = 0;
    // The partition table of a disk handle as it is on the disk now.
    virtual bool ReadPartitionTable(HANDLE disk, PartitionTable& table) = 0;
    // Makes the system read the disk's partition table again.
    virtual bool RereadPartitionTable(HANDLE handle) = 0;
    // Cleans the plan's disk and lays its partition table and one data
    // partition on it; the disk is read back afterwards to see what was done.
    // Refused (last error set), before anything is written, for a disk the
    // station keeps its hands off.
    virtual bool ApplyPartitionPlan(const PartitionPlan& plan) = 0;

    // --- volumes ---
    // Exclusive use of the volume of a volume handle: no file system works on it
    // while it is locked or after it is dismounted, until unlocked.
    virtual bool LockVolume(HANDLE handle) = 0;
    virtual bool DismountVolume(HANDLE handle) = 0;
    virtual bool UnlockVolume(HANDLE handle) = 0;
    // The partitions that may carry a file system now: the system volume first,
    // then by disk and partition number.
    virtual std::vector<VolumeLocation> Volumes() = 0;
    // The file system on partition `partition` of disk `disk`;
    // ERROR_UNRECOGNIZED_VOLUME when it holds none the station knows.
    virtual bool ProbeVolume(uint32_t disk, uint32_t partition, ProbedVolume& volume) = 0;
    // Quick-formats the partition with the system's tool for `fileSystem` ("NTFS"
    // or "EXFAT", any case) and waits for it. False (last error set) when there
    // is no such volume, it is the system volume, or the tool cannot run or fails.
    virtual bool FormatVolume(uint32_t disk, uint32_t partition, const std::string& fileSystem) = 0;
    // Sets the label of the partition's volume as its file system keeps it.
    virtual bool SetVolumeLabel(uint32_t disk, uint32_t partition, const std::string& label) = 0;
    // The files of a bridge's volume (never the system volume); nullptr with the
    // last error set and `error` naming the cause when the partition is no such
    // volume or the station cannot work with its file system.
    virtual std::unique_ptr<IVolumeFiles> OpenVolumeFiles(uint32_t disk, uint32_t partition, std::string& error) = 0;

    // --- PCIe functions ---
    // The PCIe functions present now, ordered by segment, bus, device and
    // function; none when the station reaches no PCIe configuration space.
    virtual std::vector<PcieFunction> PcieFunctions() = 0;
    // The configuration space (kPcieConfigSpaceSize bytes) of the function at
    // `location`, as it is when opened. A function that is not there reads as
    // all ones and ignores writes. nullptr (last error set) when the station
    // reaches no PCIe configuration space.
    virtual std::unique_ptr<IPcieRegion> OpenPcieConfig(const PcieLocation& location) = 0;
    // Memory BAR `bar` (0..5) of the function at `location`, mapped until the
    // region is released; nullptr (last error set) when the function has no such
    // BAR or it cannot be mapped.
    virtual std::unique_ptr<IPcieRegion> MapPcieBar(const PcieLocation& location, int bar) = 0;

    // --- device notifications ---
    // Delivers device arrivals and removals (of USB devices, hubs, host
    // controllers and disks) to `handler`, on a thread of the station, until
    // unregistered. A new registration replaces the previous one.
    virtual void RegisterDeviceNotification(DeviceChangeHandler handler) = 0;
    virtual void UnregisterDeviceNotification() = 0;

    // --- disk arrivals ---
    // A station that follows arrivals numbers every disk arrival; a mark is the
    // number of the last one. A search for a disk that is about to come back
    // takes a mark first, then asks which disks arrived after it. A station that
    // does not follow arrivals reports none, and its waits run to the end.
    virtual bool TracksDiskArrivals() const { return false; }
    virtual uint64_t DiskArrivalMark() { return 0; }
    // Disk numbers of the disks that arrived after `mark`, oldest first.
    virtual std::vector<uint32_t> DisksArrivedSince(uint64_t mark)
    {
        (void)mark;
        return {};
    }
    // Waits up to `ms` of station time for a disk arrival after `mark`; true as
    // soon as there is one.
    virtual bool WaitForDiskArrival(uint64_t mark, int64_t ms);

    // --- the station itself ---
    // True when the bridges are software models: whatever an operator reads from
    // such a station must say "emulated", so that its PASS is never taken for a
    // shipped drive.
    virtual bool IsEmulated() const = 0;
    // One line naming the station for the operator ("emulated station in DIR").
    virtual std::string Describe() const = 0;
    // The file whose lock makes one MP run at a time on this station: two runs
    // from different tool folders would otherwise program the same bridges.
    virtual std::string RunLockPath() const = 0;
    // Every disk the station sees, by disk number (CD-ROMs by theirs, after the
    // disks), with its refusal when the station keeps its hands off it.
    virtual std::vector<DiskDevice> Disks() = 0;
    // The power cycle an operator is asked for (pull the device on `disk` out and
    // plug it in again), when the station does it itself, as the emulated
    // station's operator does; false when a person must do it.
    virtual bool OperatorPowerCycle(uint32_t disk)
    {
        (void)disk;
        return false;
    }
};

// Last error of the calling thread, set by the station's calls.
uint32_t GetLastError();
void SetLastError(uint32_t error);

// A kind of station, chosen by "NAME" or "NAME:ARGUMENT". Each station unit
// registers its kind; the executables never name a station's code.
struct StationKind {
    std::string name;   // "emu", "linux"
    std::string usage;  // how it is chosen: "emu:DIR"
    // Builds the station from the text after "NAME:" (empty for a bare "NAME");
    // nullptr with `error` set when the argument names no usable station.
    std::function<std::shared_ptr<IStation>(const std::string& argument, std::string& error)> make;
    // Console commands of the kind ("devedactl NAME ..."), given the argument of
    // the current choice when it is of this kind (else empty); none when unset.
    std::function<int(const std::string& argument, const std::vector<std::string>& args)> console;
    std::string consoleUsage;
    // The clock every process using the station runs on, given the choice's
    // argument; null (or unset) for real time. Optional; it reads the station's
    // own files only, never hardware, and may be called before the station is made.
    std::function<std::shared_ptr<const util::Clock>(const std::string& argument)> clock;
};
// Adds a kind; returns true so that a unit can register from a static initialiser.
bool RegisterStationKind(StationKind kind);
// The kind named `name`; nullptr when none is registered under it.
const StationKind* FindStationKind(const std::string& name);
// Every registered kind, by name.
std::vector<const StationKind*> StationKinds();
// "emu:DIR|linux": the registered ways to choose, for usage texts.
std::string StationUsage();

// Splits a choice into the kind's name and its argument; false (error set) for an
// empty choice or an unknown kind.
bool SplitStationChoice(const std::string& choice, std::string& name, std::string& argument, std::string& error);
// Checks a path given by the user: not empty, at most 4096 characters, no
// component longer than 255; false with `error` set otherwise.
bool CheckPathText(const std::string& path, std::string& error);
// CheckPathText, and the path names no file other than a folder.
bool CheckFolderPath(const std::string& path, std::string& error);

// The process station, chosen on first use from --station= or $DEVEDA_STATION;
// with neither, the Linux station (real hardware). A choice that names no
// usable station ends the process with a message and exit code 2.
IStation& Station();
// Installs the chosen station's clock as the process clock when the station
// keeps one (an emulated station told to run faster than real time; the Linux
// station never does); true when it did. Once per process: executables call it
// at start-up, before any thread starts or time is read, and Station() calls it
// when it makes the station for a process that did not.
bool InstallStationClock();
// Builds a station from a choice; nullptr (with `error` set) for a bad choice.
std::shared_ptr<IStation> MakeStation(const std::string& choice, std::string& error);
// Replaces the process station (start-up and tests).
void SetStation(std::shared_ptr<IStation> station);
// The choice the process station is chosen from.
std::string StationChoice();
// The choice given with --station= (wins over $DEVEDA_STATION).
void SetStationChoice(const std::string& choice);
// Whether standard output is a terminal (the station display redraws in place).
bool StandardOutputIsTerminal();

}  // namespace platform
