// devedactl reset: reloads a bridge's firmware by a CPU reset and finds it again.
#include <cstdio>

#include "cli/CliCommand.h"
#include "cli/CliText.h"
#include "cli/DeviceLookup.h"
#include "config/U4ConfigTable.h"

namespace {

constexpr uint8_t kResetCode = 0x50;
constexpr uint8_t kConsoleSignature = 1;  // one "worker": the console itself

int RunReset(const cli::Args& args)
{
    const auto disk = args.size() == 2 && args[0] == "--disk" ? cli::ParseInteger(args[1], 1, 255) : std::nullopt;
    if (!disk) return cli::UsageError("usage: reset --disk N");
    CBrvtUSBDev dev;
    DeviceList list;
    const auto target = cli::FindBridgeOnDisk(dev, list, *disk);
    if (!target) return 1;
    // Stamp the USB4 block so that the search can tell this bridge among all disks.
    U4ConfigTable u4{};
    if (!dev.b7951WrRdConfiguration(*target, kReadFromDevice, u4.data(), 0, 1)) {
        std::fprintf(stderr, "devedactl: reset: cannot read the USB4 block of disk %ld\n", *disk);
        return 1;
    }
    vSetRelinkSignatureAndChkSumToU4Config(u4, *target, kConsoleSignature);
    if (!dev.b7951WrRdConfiguration(*target, kWriteToDevice, u4.data(), 0, 1)) {
        std::fprintf(stderr, "devedactl: reset: cannot write the USB4 block of disk %ld\n", *disk);
        return 1;
    }
    const int probeCount = static_cast<int>(dev.Usb().GetDiskCount()) - 1;
    std::printf("resetting the bridge on disk %ld ...\n", *disk);
    if (!dev.v7951CPURST(*target, kConsoleSignature, probeCount, kResetCode, 2)) {
        std::printf("the bridge did not come back\n");
        return 1;
    }
    const DeviceInfo& record = list.Devs[*target];
    std::printf("found again on disk %d, firmware %s\n", record.m_ucPhysicalAddress, record.m_strFWVersion.c_str());
    return 0;
}

}  // namespace

DEVEDA_CLI_COMMAND("reset", RunReset,
                   "  reset --disk N                reset the bridge on disk N and find it again after its relink");
