// devedactl pcie: the bridges reached on the PCIe path.
#include <cstdio>

#include "cli/CliCommand.h"
#include "cli/CliText.h"
#include "device/BrvtUSBDev.h"
#include "device/pcie/Brv795xPcieCtrl.h"

namespace {

// The settings' defaults of the PCIe search.
constexpr uint16_t kDefaultVendorId = 0x2C7A;
constexpr uint16_t kDefaultDeviceId = 0x7953;

void PrintTarget(int index, const PcieTarget& t)
{
    std::string serial;
    for (uint8_t c : t.serialNumber)
        if (c >= 32 && c <= 126) serial += static_cast<char>(c);
    std::printf("[%d]\n", index);
    std::printf("  BDF:             %02X:%02X.%X\n", t.bus, t.device, t.function);
    std::printf("  PCI ID:          %04X:%04X\n", t.vendorId, t.deviceId);
    std::printf("  chip ID:         %04X\n", t.chipId);
    std::printf("  firmware:        %02x%02x%02x%02x%02x%02x\n", t.firmwareVersion[0], t.firmwareVersion[1],
                t.firmwareVersion[2], t.firmwareVersion[3], t.firmwareVersion[4], t.firmwareVersion[5]);
    std::printf("  CC orientation:  %d\n", t.ccOrientation);
    std::printf("  chip variant:    %d\n", t.chipVariant);
    std::printf("  U4 mode:         %s\n", U4ModeText(t.u4Mode));
    std::printf("  speed:           %d %s\n", t.u4Speed, U4SpeedText(t.u4Speed));
    std::printf("  serial:          %s\n", serial.c_str());
    std::printf("  VID:             %04X\n", t.vid);
    std::printf("  PID:             %04X\n", t.pid);
}

int List(const cli::Args& args)
{
    long vendorId = kDefaultVendorId, deviceId = kDefaultDeviceId;
    for (size_t i = 0; i < args.size(); i += 2) {
        if (i + 1 >= args.size() || (args[i] != "--vid" && args[i] != "--did"))
            return cli::UsageError("usage: pcie list [--vid HEX] [--did HEX]");
        const auto value = cli::ParseInteger("0x" + args[i + 1], 0, 0xFFFF);
        if (!value) return cli::UsageError("pcie list: " + args[i] + " takes a 16-bit hex number");
        (args[i] == "--vid" ? vendorId : deviceId) = *value;
    }
    CBrv795xPcieCtrl pcie;
    if (!pcie.InitPcie()) {
        std::fprintf(stderr, "devedactl: pcie list: the physical-memory driver is not available\n");
        return 1;
    }
    const int count = pcie.ScanPcie(static_cast<uint16_t>(vendorId), static_cast<uint16_t>(deviceId));
    std::printf("%d PCIe bridge(s) found\n", count);
    for (int n = 0; n < count; ++n) {
        PcieTarget target;
        if (pcie.GetTarget(static_cast<uint8_t>(n), target)) PrintTarget(n, target);
    }
    return 0;
}

int Run(const cli::Args& args)
{
    if (args.empty() || args[0] != "list") return cli::UsageError("usage: pcie list [--vid HEX] [--did HEX]");
    return List(cli::Args(args.begin() + 1, args.end()));
}

}  // namespace

DEVEDA_CLI_COMMAND("pcie", Run,
                   "  pcie list [--vid HEX] [--did HEX]\n"
                   "                                scan the PCIe buses and print the bridges found");
