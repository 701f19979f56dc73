#include "platform/emu/EmuStation.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace platform {

namespace fs = std::filesystem;

namespace {
constexpr size_t kJournalLimit = 4096;

// Exclusive lock on a file, held across threads and processes.
class FileLock {
public:
    explicit FileLock(const fs::path& path) : m_Fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644))
    {
        if (m_Fd >= 0) ::flock(m_Fd, LOCK_EX);
    }
    ~FileLock()
    {
        if (m_Fd >= 0) ::close(m_Fd);  // closing releases the lock
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    int m_Fd;
};

}  // namespace

EmuStation::EmuStation(fs::path folder) : m_World(std::move(folder))
{
    std::error_code ec;
    fs::create_directories(m_World.Folder(), ec);
    FileLock lock(m_World.Folder() / "station.lock");
    if (!m_World.Exists()) m_World.Init(4);
}

std::string EmuStation::Describe() const
{
    return "EMULATED station in " + m_World.Folder().string();
}

bool CheckEmulatedStationFolder(const std::string& folder, std::string& error)
{
    const std::string create = " (create one with devedactl --station=emu:" + folder + " emu init)";
    if (!CheckFolderPath(folder, error)) {
        error = "emulated station '" + folder + "': " + error;
        return false;
    }
    if (!emu::World(folder).Exists()) {
        error = "emulated station '" + folder + "': no station there" + create;
        return false;
    }
    return true;
}

bool EmuStation::ResolveDisk(OpenDevice& device) const
{
    if (device.kind == OpenDevice::kCdrom) {
        for (int id : m_World.BridgeIds()) {
            const emu::Bridge bridge(m_World.BridgeFolder(id));
            if (bridge.Present() && bridge.CdromNumber() == device.number) device.bridgeId = id;
        }
        return device.bridgeId.has_value();
    }
    if (device.number == 0) return true;  // the system disk
    device.bridgeId = m_World.BridgeOnDisk(device.number);
    if (device.bridgeId) return true;
    for (const auto& decoy : m_World.Decoys())
        if (decoy.disk == device.number) device.decoyId = decoy.id;
    return device.decoyId.has_value();
}

HANDLE EmuStation::CreateFile(const std::string& path, uint32_t, uint32_t, uint32_t, uint32_t flagsAndAttributes)
{
    m_LastOpenFlags = flagsAndAttributes;
    SettleWorld();
    OpenDevice device;
    bool cdrom = false;
    bool found = false;
    if (ParseDevicePath(path, cdrom, device.number)) {
        device.kind = cdrom ? OpenDevice::kCdrom : OpenDevice::kDisk;
        found = ResolveDisk(device);
    } else {
        for (int controller = 0; controller < m_World.ControllerCount() && !found; ++controller) {
            if (path == EmuControllerPath(controller)) {
                device.kind = OpenDevice::kController, device.number = controller;
                found = true;
            } else if (path == "\\\\.\\" + EmuRootHubName(controller)) {
                device.kind = OpenDevice::kHub, device.number = controller, device.hub = 0;
                found = true;
            }
            for (const auto& hub : m_World.Hubs())
                if (hub.location.controller == controller &&
                    path == "\\\\?\\" + EmuExternalHubName(controller, hub.id)) {
                    device.kind = OpenDevice::kHub, device.number = controller, device.hub = hub.id;
                    found = true;
                }
        }
        // A storage interface opens the disk or CD-ROM it belongs to.
        for (uint32_t type : {FILE_DEVICE_DISK, FILE_DEVICE_CD_ROM})
            for (const auto& storage : StorageDevices(type))
                if (!found && storage.path == path) {
                    device.kind = type == FILE_DEVICE_DISK ? OpenDevice::kDisk : OpenDevice::kCdrom;
                    device.number = storage.number;
                    found = ResolveDisk(device);
                }
        if (!found && !OpenVolume(path, device)) return INVALID_HANDLE_VALUE;  // last error set
        found = true;
    }
    if (!found) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::lock_guard lock(m_Lock);
    const uintptr_t handle = m_NextHandle++;
    m_Handles[handle] = device;
    SetLastError(ERROR_SUCCESS);
    return reinterpret_cast<HANDLE>(handle);
}

bool EmuStation::CloseHandle(HANDLE handle)
{
    std::lock_guard lock(m_Lock);
    // Closing a handle releases the volume lock it holds.
    std::erase_if(m_VolumeLocks, [&](const auto& held) { return held.second == reinterpret_cast<uintptr_t>(handle); });
    if (m_Handles.erase(reinterpret_cast<uintptr_t>(handle)) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return true;
}

bool EmuStation::ModifyBridge(int id, const std::function<void(emu::Bridge&)>& change)
{
    const auto ids = m_World.BridgeIds();
    if (std::find(ids.begin(), ids.end(), id) == ids.end()) return false;
    const fs::path folder = m_World.BridgeFolder(id);
    FileLock lock(folder / "lock");
    emu::Bridge bridge(folder);
    change(bridge);
    return bridge.Save();
}

bool EmuStation::ModifyWorld(const std::function<bool(emu::World&)>& change)
{
    FileLock lock(m_World.Folder() / "station.lock");
    return change(m_World);
}

size_t EmuStation::OpenHandleCount() const
{
    std::lock_guard lock(m_Lock);
    return m_Handles.size();
}

bool EmuStation::Dispatch(const OpenDevice& device, emu::ScsiExchange& exchange)
{
    if (device.kind == OpenDevice::kController || device.kind == OpenDevice::kHub) {
        exchange.callFailed = true;
        exchange.callError = ERROR_INVALID_FUNCTION;
        return false;
    }
    if (device.decoyId) {
        emu::PlainDisk("Generic", "Flash Disk").Execute(exchange);
        return true;
    }
    if (!device.bridgeId) {
        emu::PlainDisk("NVMe", "System SSD").Execute(exchange);
        return true;
    }
    const fs::path folder = m_World.BridgeFolder(*device.bridgeId);
    bool leftTheBus = false;
    {
        FileLock lock(folder / "lock");
        emu::Bridge bridge(folder);
        // A handle opened before the bridge left the bus (or moved to another
        // number) no longer reaches it.
        const bool sameDevice = device.kind == OpenDevice::kCdrom
                                    ? bridge.CdromNumber() == device.number
                                    : bridge.CdromNumber() < 0 && bridge.DiskNumber() == device.number;
        if (!bridge.Present() || !sameDevice) {
            exchange.callFailed = true;
            exchange.callError = ERROR_DEVICE_NOT_CONNECTED;
            return false;
        }
        bridge.Execute(exchange);
        leftTheBus = !bridge.Present();
    }
    // A reset or disconnect is a removal the host hears about.
    if (leftTheBus) ModifyWorld([](emu::World& world) {
            world.PostEvent("removal");
            return true;
        });
    return true;
}

bool EmuStation::DeviceIoControl(HANDLE handle, uint32_t ioControlCode, void* inBuffer, uint32_t inBufferSize,
                                 void* outBuffer, uint32_t outBufferSize, uint32_t* bytesReturned)
{
    if (bytesReturned) *bytesReturned = 0;
    ++m_IoControlCalls;
    OpenDevice device;
    if (!FindHandle(handle, device)) return false;
    const bool direct = ioControlCode == IOCTL_SCSI_PASS_THROUGH_DIRECT;
    if ((!direct && ioControlCode != IOCTL_SCSI_PASS_THROUGH) || !inBuffer || !outBuffer) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return false;
    }
    // Both header forms share every field up to the data location; read the
    // fields through the form the request uses.
    const auto* in = static_cast<const uint8_t*>(inBuffer);
    auto* out = static_cast<uint8_t*>(outBuffer);
    const uint32_t headerSize = direct ? sizeof(SCSI_PASS_THROUGH_DIRECT) : sizeof(SCSI_PASS_THROUGH);
    if (inBufferSize < headerSize || outBufferSize < headerSize) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    SCSI_PASS_THROUGH plain{};
    SCSI_PASS_THROUGH_DIRECT directHeader{};
    if (direct) std::memcpy(&directHeader, in, sizeof directHeader);
    else std::memcpy(&plain, in, sizeof plain);
    const uint16_t length = direct ? directHeader.Length : plain.Length;
    const uint8_t cdbLength = direct ? directHeader.CdbLength : plain.CdbLength;
    const uint8_t dataIn = direct ? directHeader.DataIn : plain.DataIn;
    const uint32_t transfer = direct ? directHeader.DataTransferLength : plain.DataTransferLength;
    const uint8_t senseLength = direct ? directHeader.SenseInfoLength : plain.SenseInfoLength;
    const uint32_t senseOffset = direct ? directHeader.SenseInfoOffset : plain.SenseInfoOffset;
    const uint8_t* cdb = direct ? directHeader.Cdb : plain.Cdb;

    EmuRequest request;
    request.disk = device.kind == OpenDevice::kDisk ? device.number : -1;
    request.ioControlCode = ioControlCode;
    request.inBufferSize = inBufferSize;
    request.outBufferSize = outBufferSize;
    request.cdbLength = cdbLength;
    request.cdb.assign(cdb, cdb + std::min<uint8_t>(cdbLength, 16));
    request.dataIn = dataIn;
    request.dataTransferLength = transfer;
    request.timeOutValue = direct ? directHeader.TimeOutValue : plain.TimeOutValue;
    request.senseInfoLength = senseLength;

    // The checks the storage stack makes before a request reaches the device.
    uint8_t* data = nullptr;
    bool valid = length == headerSize && cdbLength >= 1 && cdbLength <= 16 && dataIn <= 1 &&
                 uint64_t{senseOffset} + senseLength <= outBufferSize && senseOffset >= headerSize;
    if (valid && transfer > 0) {
        if (direct) {
            data = static_cast<uint8_t*>(directHeader.DataBuffer);
            valid = data != nullptr;
        } else {
            const uint64_t end = uint64_t{plain.DataBufferOffset} + transfer;
            valid = plain.DataBufferOffset >= headerSize && end <= (dataIn ? outBufferSize : inBufferSize);
            data = dataIn ? out + plain.DataBufferOffset : const_cast<uint8_t*>(in) + plain.DataBufferOffset;
        }
    }
    if (valid && !dataIn && transfer > 0) request.dataOut.assign(data, data + transfer);
    Record(request);
    if (!valid) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }

    emu::ScsiExchange exchange;
    std::copy_n(cdb, cdbLength, exchange.cdb.begin());
    exchange.cdbLength = cdbLength;
    exchange.dataIn = dataIn == SCSI_IOCTL_DATA_IN;
    exchange.data = data;
    exchange.dataLength = transfer;
    exchange.timeoutSeconds = request.timeOutValue;
    Dispatch(device, exchange);
    if (exchange.callFailed) {
        SetLastError(exchange.callError);
        return false;
    }

    // Answer in the output buffer: status, sense, transferred length.
    if (out != in) std::memcpy(out, in, headerSize);
    const uint8_t senseReturned = std::min(senseLength, exchange.senseLength);
    std::memcpy(out + senseOffset, exchange.sense.data(), senseReturned);
    out[offsetof(SCSI_PASS_THROUGH, ScsiStatus)] = exchange.status;
    out[offsetof(SCSI_PASS_THROUGH, SenseInfoLength)] = senseReturned;
    const uint32_t transferred = exchange.transferred;
    std::memcpy(out + offsetof(SCSI_PASS_THROUGH, DataTransferLength), &transferred, sizeof transferred);
    if (bytesReturned)
        *bytesReturned = direct || !dataIn ? std::min<uint32_t>(outBufferSize, kDataOffset)
                                           : plain.DataBufferOffset + transferred;
    SetLastError(ERROR_SUCCESS);
    return true;
}

void EmuStation::Record(EmuRequest request)
{
    std::lock_guard lock(m_Lock);
    m_Journal.push_back(std::move(request));
    if (m_Journal.size() > kJournalLimit) m_Journal.pop_front();
}

std::vector<EmuRequest> EmuStation::Journal() const
{
    std::lock_guard lock(m_Lock);
    return {m_Journal.begin(), m_Journal.end()};
}

void EmuStation::ClearJournal()
{
    std::lock_guard lock(m_Lock);
    m_Journal.clear();
}

}  // namespace platform
