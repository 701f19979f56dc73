#include "engine/DiskSteps.h"

#include <atomic>
#include <mutex>
#include <utility>

#include "device/DiskInfoArea.h"
#include "device/host/DiskHost.h"
#include "disk/Fat32Format.h"
#include "log/DebugLog.h"
#include "util/Clock.h"
#include "util/USBUtility.h"

namespace engine {

namespace {
std::atomic<bool> g_bFormatIdle{true};

// Drive types that mean a letter is in use.
bool LetterInUse(uint32_t driveType)
{
    return driveType == platform::DRIVE_REMOVABLE || driveType == platform::DRIVE_FIXED ||
           driveType == platform::DRIVE_REMOTE || driveType == platform::DRIVE_CDROM ||
           driveType == platform::DRIVE_RAMDISK;
}
}  // namespace

bool FormatIdle() { return g_bFormatIdle.load(); }

char FirstFreeDriveLetter(platform::IStation& station)
{
    for (char letter = 'E'; letter <= 'Z'; ++letter)
        if (!LetterInUse(device::host::GetDriveType(station, std::string(1, letter) + ":\\"))) return letter;
    return kNoDriveLetter;
}

CDiskSteps::CDiskSteps(const RunContext& run, RunResources& resources, uint8_t port, StepHooks hooks)
    : m_Run(run),
      m_Resources(resources),
      m_Port(port),
      m_Device(resources.devices.Devs[port]),
      m_Results(resources.results[port]),
      m_Hooks(std::move(hooks))
{
}

uint8_t CDiskSteps::Fail(const std::string& cause)
{
    m_Hooks.failed(cause.empty() ? "the disk step failed (the trace has the details)" : cause);
    return 0;
}

uint8_t CDiskSteps::Run(uint8_t r, const std::stop_token& stop)
{
    if (!m_Run.flags.m_bPartitionFormat) {
        m_Hooks.show(kColPartition, false, 0);
        m_Results.FormatStepDone = 1;
        return r;
    }
    WorkerParam& worker = m_Resources.workers[m_Port];
    worker.ucPhase = kPhasePartition;
    r = Partition(r);
    m_Results.PartitionResult = r;
    m_Hooks.show(kColPartition, true, r);
    m_Hooks.addIncrement();
    const bool partitioned = r == 1;
    WaitAtBarrier(stop);
    worker.ucPhase = kPhaseFormat;
    if (partitioned && stop.stop_requested()) r = Fail("the run was stopped");
    r = Format(r);
    m_Results.FormatResult = r;
    // Column 11 already shows a failed partition with its cause; a format that
    // could not follow it adds nothing.
    if (partitioned) m_Hooks.show(kColPartition, true, r);
    m_Hooks.addIncrement();
    m_Results.FormatStepDone = 1;
    return r;
}

uint8_t CDiskSteps::Partition(uint8_t r)
{
    // A bridge on the PCIe path or seen as a CD-ROM has no disk to partition.
    if (m_Device.IsPcie) return Fail("a bridge on the PCIe path has no disk to partition");
    if (m_Device.m_bCDROM) return Fail("the bridge is seen as a CD-ROM");
    if (r != 1) return r;
    CBrvtUSBDev& dev = m_Resources.dev;
    const uint8_t drive = m_Device.m_ucPhysicalAddress;
    if (dev.vGetDiskPhysicalSize(drive) == -1) return Fail("the size of disk " + std::to_string(drive) + " cannot be read");
    if (m_Device.m_cDriveLetter == kNoDriveLetter) m_Device.m_cDriveLetter = FirstFreeDriveLetter(dev.Station());
    disk::CFat32Format formatter(dev.Station());
    if (formatter.vCreatePartition(m_Device.m_cDriveLetter, drive, m_Run.settings.partition_drive_type,
                                   GetDiskInfoArea(m_Device).BytesPerSector, 0))
        return 1;
    return Fail(formatter.Failure());
}

void CDiskSteps::WaitAtBarrier(const std::stop_token& stop)
{
    // Every worker comes here whatever its result, so the count always completes.
    m_Results.PartitionReached = 1;
    // The other workers' marks are read through their atomics: their results are theirs.
    m_Resources.workers[m_Port].bPartitionReached = true;
    const uint8_t workers = m_Resources.workers[m_Port].ucWorkerCount;
    for (;;) {
        if (!util::SleepMs(kPartitionBarrierPollMs, stop)) return;
        int reached = 0;
        for (size_t port = 0; port < m_Resources.results.size(); ++port)
            reached += m_Run.param.ucPort[port] && m_Resources.workers[port].bPartitionReached;
        if (reached >= workers) return;
    }
}

uint8_t CDiskSteps::Format(uint8_t r)
{
    if (r != 1) return r;
    CBrvtUSBDev& dev = m_Resources.dev;
    const uint8_t drive = m_Device.m_ucPhysicalAddress;
    m_Device.m_cDriveLetter = dev.vGetLogicalAddressFromPhysicalAddress(drive, 1);
    if (m_Device.m_cDriveLetter == kNoDriveLetter)
        return Fail("the new partition of disk " + std::to_string(drive) + " has no volume");
    const IniSettings& s = m_Run.settings;
    std::lock_guard format(CUSBUtility::Instance().m_ChildThreadFormatUtilityCriticalSection);
    g_bFormatIdle = false;
    disk::CFat32Format formatter(dev.Station());
    const bool formatted = formatter.vLowLevelFormatTracks(drive, s.format_drive_type, s.partition_drive_type,
                                                           s.drive_label_name, m_Device.m_cDriveLetter);
    g_bFormatIdle = true;
    return formatted ? 1 : Fail(formatter.Failure());
}

}  // namespace engine
