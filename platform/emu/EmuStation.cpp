#include "platform/emu/EmuStation.h"

#include "emu/BridgeService.h"
#include "platform/PassThroughBlock.h"
#include "util/Clock.h"

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

using FileLock = emu::FolderLock;

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

std::shared_ptr<const util::Clock> EmulatedStationClock(const std::filesystem::path& folder)
{
    const auto time = emu::World(folder).Time();
    if (!time) return nullptr;
    return std::make_shared<util::ScaledClock>(static_cast<double>(time->scale), time->wallMs, time->stationMs);
}

bool EmuStation::ResolveDisk(OpenDevice& device) const
{
    const auto number = static_cast<int>(device.target.number);
    if (device.target.kind == DiskKind::kCdrom) {
        for (int id : m_World.BridgeIds()) {
            const auto bridge = m_World.BridgeState(id);
            if (bridge->Present() && bridge->CdromNumber() == number) device.bridgeId = id;
        }
        return device.bridgeId.has_value();
    }
    if (number == 0) return true;  // the system disk
    device.bridgeId = m_World.BridgeOnDisk(number);
    if (device.bridgeId) return true;
    for (const auto& decoy : m_World.Decoys())
        if (decoy.disk == number) device.decoyId = decoy.id;
    return device.decoyId.has_value();
}

HANDLE EmuStation::OpenDisk(const DiskTarget& target, DiskAccess access)
{
    SettleWorld();
    OpenDevice device;
    device.target = target;
    device.access = access;
    bool found = false;
    if (target.partition == 0) {
        found = ResolveDisk(device);
        if (!found) SetLastError(ERROR_FILE_NOT_FOUND);
    } else if (target.kind == DiskKind::kDisk) {
        const auto volume = FindVolume(target.number, target.partition);  // last error set when none
        found = volume.has_value();
        if (found) device.bridgeId = volume->bridgeId;
    } else {
        SetLastError(ERROR_FILE_NOT_FOUND);
    }
    if (!found) return INVALID_HANDLE_VALUE;
    std::lock_guard lock(m_Lock);
    const uintptr_t handle = m_NextHandle++;
    m_Handles[handle] = device;
    SetLastError(ERROR_SUCCESS);
    return reinterpret_cast<HANDLE>(handle);
}

bool EmuStation::HandleTarget(HANDLE handle, DiskTarget& target)
{
    OpenDevice device;
    if (!FindHandle(handle, device)) return false;
    target = device.target;
    SetLastError(ERROR_SUCCESS);
    return true;
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
    FileLock lock(m_World.BridgeFolder(id) / "lock");
    emu::Bridge bridge = *m_World.BridgeState(id);  // current: every change is made under the lock
    change(bridge);
    return bridge.Save();
}

bool EmuStation::ModifyWorld(const std::function<bool(emu::World&)>& change)
{
    bool changed = false;
    {
        FileLock lock(m_World.Folder() / "station.lock");
        changed = change(m_World);
    }
    NotifyChange();
    return changed;
}

size_t EmuStation::OpenHandleCount() const
{
    std::lock_guard lock(m_Lock);
    return m_Handles.size();
}

bool EmuStation::Dispatch(const OpenDevice& device, emu::ScsiExchange& exchange)
{
    if (device.decoyId) {
        emu::PlainDisk("Generic", "Flash Disk").Execute(exchange);
        return true;
    }
    if (!device.bridgeId) {
        emu::PlainDisk("NVMe", "System SSD").Execute(exchange);
        return true;
    }
    // A handle opened before the bridge left the bus (or moved to another
    // number) no longer reaches it.
    const auto number = static_cast<int>(device.target.number);
    const bool cdrom = device.target.kind == DiskKind::kCdrom;
    const emu::BridgeAnswer answer =
        emu::ServeBridgeCommand(m_World.BridgeFolder(*device.bridgeId), exchange, [&](const emu::Bridge& bridge) {
            return cdrom ? bridge.CdromNumber() == number : bridge.CdromNumber() < 0 && bridge.DiskNumber() == number;
        });
    if (!answer.reached) return false;
    const bool leftTheBus = answer.leftTheBus;
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
    PassThroughCall call;
    uint32_t error = ERROR_SUCCESS;
    const bool valid = DecodePassThrough(ioControlCode, inBuffer, inBufferSize, outBuffer, outBufferSize, call, error);
    if (call.headerRead) {
        EmuRequest request;
        request.disk = device.target.kind == DiskKind::kDisk ? static_cast<int>(device.target.number) : -1;
        request.ioControlCode = ioControlCode;
        request.inBufferSize = inBufferSize;
        request.outBufferSize = outBufferSize;
        request.cdbLength = call.cdbLength;
        request.cdb.assign(call.cdb, call.cdb + std::min<uint8_t>(call.cdbLength, 16));
        request.dataIn = call.dataInFlag;
        request.dataTransferLength = call.transferLength;
        request.timeOutValue = call.timeOutValue;
        request.senseInfoLength = call.senseLength;
        request.atMs = util::NowMs();
        if (valid && call.request.direction == ScsiDirection::kOut)
            request.dataOut.assign(call.request.data.begin(), call.request.data.end());
        std::shared_ptr<const RequestWatcher> watcher;
        {
            std::lock_guard lock(m_Lock);
            watcher = m_RequestWatcher;
        }
        if (watcher) (*watcher)(request);  // outside the lock: the watcher may use the station
        Record(std::move(request));
    }
    return IStation::DeviceIoControl(handle, ioControlCode, inBuffer, inBufferSize, outBuffer, outBufferSize,
                                     bytesReturned);
}

bool EmuStation::SendScsi(HANDLE handle, const ScsiRequest& request, ScsiOutcome& outcome)
{
    OpenDevice device;
    if (!FindHandle(handle, device)) return false;
    emu::ScsiExchange exchange;
    std::copy(request.cdb.begin(), request.cdb.end(), exchange.cdb.begin());
    exchange.cdbLength = static_cast<uint8_t>(request.cdb.size());
    exchange.dataIn = request.direction == ScsiDirection::kIn;
    exchange.data = request.data.data();
    exchange.dataLength = static_cast<uint32_t>(request.data.size());
    exchange.timeoutSeconds = request.timeoutSeconds;
    Dispatch(device, exchange);
    outcome = ScsiOutcome{};
    if (exchange.noAnswer) {
        // The bridge never answers: the transport gives up after the request's time-out.
        util::SleepMs(static_cast<int64_t>(std::max<uint32_t>(request.timeoutSeconds, 1)) * 1000);
        outcome.transport = ScsiTransport::kTimedOut;
        return true;
    }
    if (exchange.callFailed) {
        // A handle that is no disk fails the call; a bridge gone or failing fails the transport.
        if (exchange.callError == ERROR_INVALID_FUNCTION) {
            SetLastError(exchange.callError);
            return false;
        }
        outcome.transport =
            exchange.callError == ERROR_DEVICE_NOT_CONNECTED ? ScsiTransport::kNoDevice : ScsiTransport::kFailed;
        return true;
    }
    outcome.transport = ScsiTransport::kDone;
    outcome.scsiStatus = exchange.status;
    outcome.sense.assign(exchange.sense.begin(),
                         exchange.sense.begin() + std::min<size_t>(exchange.senseLength, exchange.sense.size()));
    outcome.bytesMoved = exchange.transferred;
    return true;
}

std::vector<EmuStation::EmuVolume> EmuStation::EmuVolumes()
{
    // Read the generations first: a change made while the disks are read makes
    // the listing stale at once rather than never.
    const uint64_t state = m_World.Stamp().State();
    const uint64_t disks = m_World.Stamp().Disks();
    {
        std::lock_guard lock(m_VolumeLock);
        if (m_Volumes && m_VolumeState == state && m_VolumeDisks == disks) return *m_Volumes;
    }
    auto volumes = ScanVolumes();
    std::lock_guard lock(m_VolumeLock);
    m_Volumes = volumes;
    m_VolumeState = state;
    m_VolumeDisks = disks;
    return volumes;
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

void EmuStation::SetRequestWatcher(RequestWatcher watcher)
{
    std::lock_guard lock(m_Lock);
    m_RequestWatcher = watcher ? std::make_shared<const RequestWatcher>(std::move(watcher)) : nullptr;
}

void EmuStation::ClearJournal()
{
    std::lock_guard lock(m_Lock);
    m_Journal.clear();
}

}  // namespace platform
