#pragma once
// The emulated station: device paths and pass-through requests served by the
// device models of emu/, with the world kept in a folder. Requests to one bridge
// are serialised across threads and processes by a lock file in its folder.
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "emu/World.h"
#include "platform/Station.h"

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
};

class EmuStation final : public IStation {
public:
    // Opens the station kept in `folder`, creating it with 4 default bridges when
    // the folder holds none.
    explicit EmuStation(std::filesystem::path folder);

    HANDLE CreateFile(const std::string& path, uint32_t desiredAccess, uint32_t shareMode,
                      uint32_t creationDisposition, uint32_t flagsAndAttributes) override;
    bool CloseHandle(HANDLE handle) override;
    bool DeviceIoControl(HANDLE handle, uint32_t ioControlCode, void* inBuffer, uint32_t inBufferSize,
                         void* outBuffer, uint32_t outBufferSize, uint32_t* bytesReturned) override;

    emu::World& World() { return m_World; }
    // Runs `change` on a bridge under its lock and saves it; false when the
    // bridge does not exist or cannot be saved.
    bool ModifyBridge(int id, const std::function<void(emu::Bridge&)>& change);
    // The requests received so far (the last 4096), oldest first.
    std::vector<EmuRequest> Journal() const;
    void ClearJournal();
    size_t OpenHandleCount() const;

private:
    struct OpenDevice {
        bool cdrom = false;
        int number = 0;                // disk or CD-ROM number of the path
        std::optional<int> bridgeId;   // none: the system disk
    };
    bool Dispatch(const OpenDevice& device, emu::ScsiExchange& exchange);
    void Record(EmuRequest request);

    emu::World m_World;
    mutable std::mutex m_Lock;
    std::map<uintptr_t, OpenDevice> m_Handles;
    uintptr_t m_NextHandle = 0x100;
    std::deque<EmuRequest> m_Journal;
};

// Parses "\\.\PHYSICALDRIVE%d" (any case) or "\\.\CDROM%d".
bool ParseDevicePath(const std::string& path, bool& cdrom, int& number);

}  // namespace platform
