#pragma once
// An emulated station in a temporary folder, with a fake clock so that sleeps
// cost nothing.
#include <atomic>
#include <memory>

#include "../common/TestSupport.h"
#include "device/BrvtUSBDev.h"
#include "device/host/DiskHost.h"
#include "platform/emu/EmuStation.h"

namespace testsupport {

// A configuration space whose accesses are counted.
class CountingRegion final : public platform::IPcieRegion {
public:
    CountingRegion(std::unique_ptr<platform::IPcieRegion> inner, std::atomic<int>& reads, std::atomic<int>& writes)
        : m_Inner(std::move(inner)), m_Reads(reads), m_Writes(writes)
    {
    }
    uint64_t Size() const override { return m_Inner->Size(); }
    bool Read(uint64_t offset, uint32_t size, uint32_t& value) override
    {
        ++m_Reads;
        return m_Inner->Read(offset, size, value);
    }
    bool Write(uint64_t offset, uint32_t size, uint32_t value) override
    {
        ++m_Writes;
        return m_Inner->Write(offset, size, value);
    }

private:
    std::unique_ptr<platform::IPcieRegion> m_Inner;
    std::atomic<int>& m_Reads;
    std::atomic<int>& m_Writes;
};

class CountingStation : public platform::IStation {
public:
    explicit CountingStation(platform::IStation& inner) : m_Inner(inner) {}
    platform::HANDLE OpenDisk(const platform::DiskTarget& target, platform::DiskAccess access) override
    {
        ++m_Opens;
        return m_Inner.OpenDisk(target, access);
    }
    bool CloseHandle(platform::HANDLE handle) override { return m_Inner.CloseHandle(handle); }
    bool HandleTarget(platform::HANDLE handle, platform::DiskTarget& target) override
    {
        return m_Inner.HandleTarget(handle, target);
    }
    bool SendScsi(platform::HANDLE handle, const platform::ScsiRequest& request, platform::ScsiOutcome& outcome) override
    {
        return m_Inner.SendScsi(handle, request, outcome);
    }
    bool IsEmulated() const override { return m_Inner.IsEmulated(); }
    std::string Describe() const override { return m_Inner.Describe(); }
    std::string RunLockPath() const override { return m_Inner.RunLockPath(); }
    std::vector<platform::DiskDevice> Disks() override { return m_Inner.Disks(); }
    bool DeviceIoControl(platform::HANDLE handle, uint32_t code, void* in, uint32_t inSize, void* out,
                         uint32_t outSize, uint32_t* returned) override
    {
        ++m_IoControls;
        return m_Inner.DeviceIoControl(handle, code, in, inSize, out, outSize, returned);
    }
    // --- USB tree ---
    std::vector<platform::UsbNode> UsbTree() override { return m_Inner.UsbTree(); }
    bool ReadUsbString(const platform::UsbNode& node, uint8_t index, uint16_t languageId, std::u16string& text) override
    {
        return m_Inner.ReadUsbString(node, index, languageId, text);
    }
    void RegisterDeviceNotification(platform::DeviceChangeHandler h) override
    {
        m_Inner.RegisterDeviceNotification(std::move(h));
    }
    void UnregisterDeviceNotification() override { m_Inner.UnregisterDeviceNotification(); }
    bool TracksDiskArrivals() const override { return m_Inner.TracksDiskArrivals(); }
    uint64_t DiskArrivalMark() override { return m_Inner.DiskArrivalMark(); }
    std::vector<uint32_t> DisksArrivedSince(uint64_t mark) override { return m_Inner.DisksArrivedSince(mark); }
    bool WaitForDiskArrival(uint64_t mark, int64_t ms) override { return m_Inner.WaitForDiskArrival(mark, ms); }
    // --- disks and volumes ---
    bool GetDiskCapacity(platform::HANDLE h, platform::DiskCapacity& c) override
    {
        return m_Inner.GetDiskCapacity(h, c);
    }
    bool ReadPartitionTable(platform::HANDLE h, platform::PartitionTable& t) override
    {
        return m_Inner.ReadPartitionTable(h, t);
    }
    bool RereadPartitionTable(platform::HANDLE h) override { return m_Inner.RereadPartitionTable(h); }
    bool ApplyPartitionPlan(const platform::PartitionPlan& plan) override { return m_Inner.ApplyPartitionPlan(plan); }
    bool LockVolume(platform::HANDLE h) override { return m_Inner.LockVolume(h); }
    bool DismountVolume(platform::HANDLE h) override { return m_Inner.DismountVolume(h); }
    bool UnlockVolume(platform::HANDLE h) override { return m_Inner.UnlockVolume(h); }
    bool ReadAt(platform::HANDLE h, uint64_t offset, void* buffer, uint32_t length, uint32_t* done) override
    {
        ++m_Reads;
        return m_Inner.ReadAt(h, offset, buffer, length, done);
    }
    bool WriteAt(platform::HANDLE h, uint64_t offset, const void* buffer, uint32_t length, uint32_t* done) override
    {
        ++m_Writes;
        return m_Inner.WriteAt(h, offset, buffer, length, done);
    }
    std::vector<platform::VolumeLocation> Volumes() override { return m_Inner.Volumes(); }
    bool ProbeVolume(uint32_t disk, uint32_t partition, platform::ProbedVolume& volume) override
    {
        return m_Inner.ProbeVolume(disk, partition, volume);
    }
    bool FormatVolume(uint32_t disk, uint32_t partition, const std::string& fileSystem) override
    {
        return m_Inner.FormatVolume(disk, partition, fileSystem);
    }
    bool SetVolumeLabel(uint32_t disk, uint32_t partition, const std::string& label) override
    {
        return m_Inner.SetVolumeLabel(disk, partition, label);
    }
    std::unique_ptr<platform::IVolumeFiles> OpenVolumeFiles(uint32_t disk, uint32_t partition,
                                                            std::string& error) override
    {
        return m_Inner.OpenVolumeFiles(disk, partition, error);
    }
    // --- PCIe functions ---
    std::vector<platform::PcieFunction> PcieFunctions() override
    {
        ++m_PcieListings;
        return m_Inner.PcieFunctions();
    }
    std::unique_ptr<platform::IPcieRegion> OpenPcieConfig(const platform::PcieLocation& location) override
    {
        auto inner = m_Inner.OpenPcieConfig(location);
        if (!inner) return nullptr;
        return std::make_unique<CountingRegion>(std::move(inner), m_ConfigReads, m_ConfigWrites);
    }
    std::unique_ptr<platform::IPcieRegion> MapPcieBar(const platform::PcieLocation& location, int bar) override
    {
        return m_Inner.MapPcieBar(location, bar);
    }

    std::atomic<int> m_IoControls{0};
    std::atomic<int> m_Opens{0};
    std::atomic<int> m_Reads{0};
    std::atomic<int> m_Writes{0};
    std::atomic<int> m_PcieListings{0};
    std::atomic<int> m_ConfigReads{0};
    std::atomic<int> m_ConfigWrites{0};

private:
    platform::IStation& m_Inner;
};

class EmulatedStationTest : public ::testing::Test {
protected:
    EmulatedStationTest() : m_Emu(m_Folder.Path() / "station"), m_Station(m_Emu), m_Dev(m_Station) {}
    int IoControls() const { return m_Emu.IoControlCalls(); }

    platform::HANDLE OpenDisk(int disk)
    {
        return device::host::CreateFile(
            m_Station, "\\\\.\\PHYSICALDRIVE" + std::to_string(disk), platform::GENERIC_READ | platform::GENERIC_WRITE,
            platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE, platform::OPEN_EXISTING, 0);
    }
    emu::Bridge Bridge(int id) { return emu::Bridge(m_Emu.World().BridgeFolder(id)); }
    void Fault(int id, uint8_t opcode, emu::FaultMode mode, int count)
    {
        m_Emu.ModifyBridge(id, [&](emu::Bridge& b) { b.SetFault(opcode, mode, count); });
    }
    platform::EmuRequest LastRequest() const
    {
        const auto journal = m_Emu.Journal();
        return journal.empty() ? platform::EmuRequest{} : journal.back();
    }

    FakeClockScope m_Clock;
    TempFolder m_Folder;
    platform::EmuStation m_Emu;
    CountingStation m_Station;
    CBrvtUSBDev m_Dev;
};

}  // namespace testsupport
