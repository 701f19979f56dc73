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

class IStation {
public:
    virtual ~IStation() = default;

    // Opens a device path ("\\.\PHYSICALDRIVE%d", "\\.\PhysicalDrive%d",
    // "\\.\CDROM%d"). Returns INVALID_HANDLE_VALUE and sets the last error on
    // failure.
    virtual HANDLE CreateFile(const std::string& path, uint32_t desiredAccess, uint32_t shareMode,
                              uint32_t creationDisposition, uint32_t flagsAndAttributes) = 0;
    virtual bool CloseHandle(HANDLE handle) = 0;

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

    // --- disks and volumes ---
    // Disk, CD-ROM and volume handles come from CreateFile: "\\.\PhysicalDrive%d",
    // "\\.\X:" or a volume name without its trailing backslash. Every call
    // returns false and sets the last error when it fails.
    virtual bool GetDriveGeometryEx(HANDLE handle, DiskGeometryEx& geometry) = 0;
    // The whole layout of a disk handle (the caller never sizes a buffer).
    virtual bool GetDriveLayoutEx(HANDLE handle, DriveLayout& layout) = 0;
    // Disk or CD-ROM number (and partition) an opened disk, CD-ROM or volume reaches.
    virtual bool GetStorageDeviceNumber(HANDLE device, StorageDeviceNumber& number) = 0;
    // "\\?\Volume{...}\" of a mount point "X:\".
    virtual bool GetVolumeNameForVolumeMountPoint(const std::string& mountPoint, std::string& volumeName) = 0;
    // The disk extents of a volume handle, first extent first.
    virtual bool GetVolumeDiskExtents(HANDLE handle, std::vector<DiskExtent>& extents) = 0;
    virtual bool LockVolume(HANDLE handle) = 0;
    virtual bool DismountVolume(HANDLE handle) = 0;
    virtual bool UnlockVolume(HANDLE handle) = 0;
    // Makes the system read the disk's layout again.
    virtual bool UpdateDiskProperties(HANDLE handle) = 0;
    // Positioned transfers on a disk or volume handle; offset and length are whole
    // sectors. `transferred` receives the bytes moved (fewer at the end of the
    // device).
    virtual bool ReadAt(HANDLE handle, uint64_t offset, void* buffer, uint32_t length, uint32_t* transferred) = 0;
    virtual bool WriteAt(HANDLE handle, uint64_t offset, const void* buffer, uint32_t length,
                         uint32_t* transferred) = 0;
    // Of a root path "X:\"; ERROR_UNRECOGNIZED_VOLUME when no file system is known.
    virtual bool GetDiskFreeSpace(const std::string& rootPath, DiskFreeSpace& space) = 0;
    virtual bool GetVolumeInformation(const std::string& rootPath, VolumeInformation& information) = 0;
    // DRIVE_NO_ROOT_DIR, DRIVE_FIXED, ... of a root path "X:\\".
    virtual uint32_t GetDriveType(const std::string& rootPath) = 0;
    // Quick-formats the volume of a root path "X:\" with the system's tool for
    // `fileSystem` ("NTFS" or "EXFAT", any case) and waits for it. False (last
    // error set) when there is no such volume or the tool cannot run or fails.
    virtual bool FormatVolume(const std::string& rootPath, const std::string& fileSystem) = 0;
    // Sets the label of the volume of a root path "X:\" as its file system keeps it.
    virtual bool SetVolumeLabel(const std::string& rootPath, const std::string& label) = 0;
    // The files of the volume mounted at a root path "X:\\", which must be a
    // bridge's volume (never the system volume); nullptr with the last error set
    // and `error` naming the cause when the letter reaches no such volume or the
    // station cannot work with its file system.
    virtual std::unique_ptr<IVolumeFiles> OpenVolumeFiles(const std::string& rootPath, std::string& error) = 0;
    // Runs the system's partitioning tool on a script file ("diskpart /s FILE")
    // and waits for it. False (last error set) when the tool cannot be started;
    // what the script did is read back from the disks afterwards.
    virtual bool RunDiskPartScript(const std::string& scriptPath) = 0;

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
