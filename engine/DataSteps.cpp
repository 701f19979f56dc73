#include "engine/DataSteps.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <utility>

#include "device/ScopedHandle.h"
#include "device/SpeedTest.h"
#include "device/host/DiskHost.h"
#include "disk/Preload.h"
#include "disk/WriteReadTest.h"
#include "log/DebugLog.h"
#include "util/Clock.h"
#include "util/USBUtility.h"

namespace engine {

namespace {
namespace fs = std::filesystem;

std::string RootPath(char letter) { return std::string(1, letter) + ":\\"; }

wchar_t Wide(char letter) { return static_cast<wchar_t>(letter); }

// Whole-number value of a threshold text ("120", " 80 MB/s" -> 80); 0 when none.
int64_t Threshold(const char* text) { return std::strtoll(text, nullptr, 10); }
}  // namespace

CDataSteps::CDataSteps(const RunContext& run, RunResources& resources, uint8_t port, StepHooks hooks)
    : m_Run(run),
      m_Resources(resources),
      m_Port(port),
      m_Device(resources.devices.Devs[port]),
      m_Results(resources.results[port]),
      m_Worker(resources.workers[port]),
      m_Hooks(std::move(hooks))
{
}

uint8_t CDataSteps::Fail(const std::string& cause)
{
    m_Hooks.failed(cause);
    return 0;
}

void CDataSteps::StartBytes(uint64_t total)
{
    m_Worker.ullBytesDone = 0;
    m_Worker.ullBytesTotal = total;
}

void CDataSteps::AddBytes(uint64_t bytes) { m_Worker.ullBytesDone += bytes; }

uint8_t CDataSteps::Run(uint8_t r, const std::stop_token& stop)
{
    if (stop.stop_requested() && r == 1) r = Fail("the run was stopped");
    r = WriteReadStep(r);
    if (stop.stop_requested() && r == 1) r = Fail("the run was stopped");
    r = PreloadStep(r);
    StartBytes(0);
    return r;
}

std::unique_ptr<platform::IVolumeFiles> CDataSteps::OwnVolume(char letter)
{
    platform::IStation& station = m_Resources.dev.Station();
    std::string error;
    auto files = device::host::OpenVolumeFiles(station, RootPath(letter), error);
    if (!files) {
        Fail(error);
        return nullptr;
    }
    // The letter must still reach this bridge's disk now that its files are open:
    // letters follow the disks, and another disk's volume is never written.
    if (m_Resources.dev.vGetLogicalAddressFromPhysicalAddress(m_Device.m_ucPhysicalAddress, 0) != letter) {
        Fail(RootPath(letter) + " is not the volume of this bridge's disk");
        return nullptr;
    }
    return files;
}

// --- step 7 --------------------------------------------------------------------------

uint8_t CDataSteps::WriteReadStep(uint8_t r)
{
    if (!m_Run.flags.m_bWrRdTest) {
        m_Hooks.show(kColRWTest, false, 0);
        return r;
    }
    m_Worker.ucPhase = kPhaseWrRdTest;
    if (m_Device.m_bCDROM) r = Fail("the bridge is seen as a CD-ROM");
    else if (r == 1) r = WriteReadTest();
    if (r == 1 && m_Run.flags.m_bSpeedTest) {
        m_Worker.ucPhase = kPhaseSpeedTest;
        r = SpeedTest(m_Device.m_cDriveLetter) ? 1 : Fail("the disk is slower than the speed thresholds");
    }
    m_Results.DoWrRdTestResult = r;
    m_Hooks.show(kColRWTest, true, r);
    m_Hooks.addIncrement();
    return r;
}

uint8_t CDataSteps::WriteReadTest()
{
    const IniSettings& s = m_Run.settings;
    m_Device.m_cDriveLetter = m_Resources.dev.vGetLogicalAddressFromPhysicalAddress(m_Device.m_ucPhysicalAddress, 1);
    disk::WrRdTestPlan plan;
    plan.sourcePath = CUSBUtility::Instance().GetProgramFolder() + "/" + s.wr_test_binary_name;
    plan.fileName = s.wr_test_binary_name;
    plan.fileSize = m_Run.WrRdFileSize;
    plan.count = s.wr_test_count;
    plan.port = m_Port;
    plan.driveLetter = m_Device.m_cDriveLetter;
    std::error_code ec;
    if (m_Device.m_cDriveLetter == kNoDriveLetter || !fs::is_regular_file(plan.sourcePath, ec)) {
        DBG_ERR("%s:%d: ChildThreadFun: Pre-WrRdTest Check Fail , [%d] m_cDriveLetter = [%C] , "
                "strWrRdTestSourceFilePath [%s]",
                m_Port, Wide(m_Device.m_cDriveLetter), plan.sourcePath.c_str());
        return Fail(m_Device.m_cDriveLetter == kNoDriveLetter ? "the volume has no drive letter"
                                                              : "the test file " + plan.sourcePath + " is missing");
    }
    DBG_MSG("%s:%d: ChildThreadFun: Test , ucTargetNumber %d , strWrRdTestSourceFilePath %s", m_Port,
            plan.sourcePath.c_str());
    const int64_t freeMiB = m_Resources.dev.vGetDiskFreeSpace(m_Device.m_cDriveLetter);
    if (!disk::FreeSpaceHoldsTestFile(freeMiB, plan.fileSize)) {
        DBG_ERR("%s:%d: ChildThreadFun: DiskFreeSpace too small , [%d] m_cDriveLetter = [%C]", m_Port,
                Wide(m_Device.m_cDriveLetter));
        return Fail("the volume has less free space than ten times the test file");
    }
    if (plan.count == 0) return 1;
    const auto files = OwnVolume(m_Device.m_cDriveLetter);
    if (!files) return 0;
    StartBytes(uint64_t{plan.fileSize} * 2 * plan.count);
    const std::string failure = disk::RunWrRdCycles(*files, plan, [this](uint64_t bytes) { AddBytes(bytes); });
    return failure.empty() ? 1 : Fail(failure);
}

bool CDataSteps::SpeedTest(char letter)
{
    // This worker's own device object: its rate sums are not shared with other workers.
    CBrvtUSBDev dev(m_Resources.dev.Station());
    const int64_t readThreshold = Threshold(m_Run.settings.read_speed);
    const int64_t writeThreshold = Threshold(m_Run.settings.write_speed);
    double dReadSpeed = 0.0, dWriteSpeed = 0.0;
    bool passed = false;
    for (uint8_t attempt = 0; attempt < kSpeedTestAttempts && !passed; ++attempt) {
        const int result = dev.vReadWriteSpeedTest(letter, m_Device, dReadSpeed, dWriteSpeed, attempt,
                                                   kSpeedTestSizeMiB);
        passed = result == 0 && dReadSpeed >= static_cast<double>(readThreshold) &&
                 dWriteSpeed >= static_cast<double>(writeThreshold);
    }
    DBG_MSG("%s:%d: DEV[%d] SPEED TEST RESULT:: dReadSpeed %.2f; dWriteSpeed %.2f", m_Port, dReadSpeed, dWriteSpeed);
    return passed;
}

// --- step 8 --------------------------------------------------------------------------

uint8_t CDataSteps::PreloadStep(uint8_t r)
{
    if (!m_Run.flags.m_bPreload || m_Device.m_bCDROM) {
        m_Hooks.show(kColPreload, false, 0);
        return r;
    }
    m_Worker.ucPhase = kPhasePreload;
    if (r == 1) {
        std::lock_guard preload(CUSBUtility::Instance().m_ChildThreadPreloadCriticalSection);
        r = Preload();
    } else {
        DBG_ERR("%s:%d: ChildThreadFun: Do Preload Fail[%d] ", m_Port);
    }
    m_Results.DoPreloadResult = r;
    m_Hooks.show(kColPreload, true, r);
    m_Hooks.addIncrement();
    return r;
}

uint8_t CDataSteps::Preload()
{
    DBG_MSG("%s:%d: Do Preload[%d]", m_Port);
    m_Device.m_cDriveLetter = m_Resources.dev.vGetLogicalAddressFromPhysicalAddress(m_Device.m_ucPhysicalAddress, 1);
    std::string source = m_Run.settings.preload_folder_path;
    if (source.size() > 1 && (source.back() == '\\' || source.back() == '/')) source.pop_back();
    const char letter = m_Device.m_cDriveLetter;
    std::error_code ec;
    if (letter == kNoDriveLetter || !fs::is_directory(source, ec)) {
        DBG_ERR("%s:%d: ChildThreadFun: Preload folder Check Fail , [%d] m_cDriveLetter = [%C] , "
                "strPreloadSourceFilePath [%s]",
                m_Port, Wide(letter), source.c_str());
        return Fail(letter == kNoDriveLetter ? "the volume has no drive letter"
                                             : "the preload folder " + source + " does not exist");
    }
    std::string error;
    const auto size = disk::FolderSize(source, error);
    if (!size) return Fail("the preload folder cannot be read: " + error);
    const int64_t freeMiB = m_Resources.dev.vGetDiskFreeSpace(letter);
    if (freeMiB != -1 && static_cast<int64_t>(*size / 1024 / 1024) > freeMiB) {
        DBG_ERR("%s:%d: ChildThreadFun: Do Preload, [%d], Freespace is not enough [%lld]. m_cDriveLetter = [%C]",
                m_Port, static_cast<long long>(freeMiB), Wide(letter));
        return Fail("the preload folder is larger than the free space");
    }
    const auto files = OwnVolume(letter);
    if (!files) return 0;
    StartBytes(*size);
    disk::CPreloadCopy copy(*files, std::string(1, letter) + ":", [this](uint64_t bytes) { AddBytes(bytes); });
    const uint8_t r = copy.Dir_Copy(source, "", m_Port) && copy.Flush() ? 1 : 0;
    if (!r) Fail("the preload copy failed: " + copy.Error());
    RefreshDisk();
    return r;
}

void CDataSteps::RefreshDisk()
{
    util::SleepMs(kPreloadSettleMs);
    platform::IStation& station = m_Resources.dev.Station();
    char path[40];
    std::snprintf(path, sizeof path, "\\\\.\\PHYSICALDRIVE%d", m_Device.m_ucPhysicalAddress);
    ScopedHandle disk(station, device::host::CreateFile(station, path, platform::GENERIC_READ | platform::GENERIC_WRITE,
                                                        0, platform::OPEN_EXISTING, 0));
    if (!disk.Valid()) {
        DBG_ERR("%s:%d: Do Preload: CreateFile Fail, strPhysicalAddress=%s, dwErrorCode %d", path,
                platform::GetLastError());
        return;
    }
    if (!station.LockVolume(disk.Get()))
        DBG_ERR("%s:%d: Do Preload: FSCTL_LOCK_VOLUME Failed... , dwErrorCode %d", platform::GetLastError());
    if (!station.DismountVolume(disk.Get()))
        DBG_ERR("%s:%d: Do Preload: FSCTL_DISMOUNT_VOLUME Failed... , dwErrorCode %d", platform::GetLastError());
    if (!station.UnlockVolume(disk.Get()))
        DBG_ERR("%s:%d: Do Preload: FSCTL_UNLOCK_VOLUME Failed... , dwErrorCode %d", platform::GetLastError());
    if (!device::host::UpdateDiskProperties(station, disk.Get()))
        DBG_ERR("%s:%d: ChildThreadFun: Do Preload,: %C IOCTL_DISK_UPDATE_PROPERTIES Fail , dwErrorCode %d",
                Wide(m_Device.m_cDriveLetter), platform::GetLastError());
}

}  // namespace engine
