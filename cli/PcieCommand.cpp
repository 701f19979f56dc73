// devedactl pcie: the bridges reached on the PCIe path, and the station's PCIe
// functions as they are.
#include <cinttypes>
#include <cstdio>
#include <optional>

#include "cli/CliCommand.h"
#include "config/FirmwareCheck.h"
#include "config/U4ConfigTable.h"
#include "cli/CliText.h"
#include "device/BrvtUSBDev.h"
#include "device/pcie/Brv795xPcieCtrl.h"
#include "platform/Station.h"

namespace {

// The settings' defaults of the PCIe search.
constexpr uint16_t kDefaultVendorId = kDefaultPcieVendorId;
constexpr uint16_t kDefaultDeviceId = kDefaultPcieDeviceId;

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
        std::fprintf(stderr, "devedactl: pcie list: this station reaches no PCIe function\n");
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

// The PCIe target `index` after a scan with the default IDs; false (reported) when none.
bool OpenTarget(CBrv795xPcieCtrl& pcie, long index)
{
    if (!pcie.InitPcie()) {
        std::fprintf(stderr, "devedactl: pcie: this station reaches no PCIe function\n");
        return false;
    }
    const int count = pcie.ScanPcie(kDefaultVendorId, kDefaultDeviceId);
    if (index >= count) {
        std::fprintf(stderr, "devedactl: pcie: no PCIe bridge %ld (%d found)\n", index, count);
        return false;
    }
    return true;
}

// pcie fw-write INDEX --image 0|1 FILE: the image in one mailbox command, then read back and compared.
int WriteFirmware(const cli::Args& args)
{
    const auto index = args.size() == 4 ? cli::ParseInteger(args[0], 0, 15) : std::nullopt;
    const auto image = args.size() == 4 && args[1] == "--image" ? cli::ParseInteger(args[2], 0, 1) : std::nullopt;
    if (!index || !image) return cli::UsageError("usage: pcie fw-write INDEX --image 0|1 FILE");
    const auto file = ReadWholeFile(args[3]);
    if (!file || file->empty()) return cli::UsageError("pcie fw-write: cannot read " + args[3]);
    CBrv795xPcieCtrl pcie;
    if (!OpenTarget(pcie, *index)) return 1;
    std::vector<uint8_t> data(*file), back(file->size());
    const auto target = static_cast<uint8_t>(*index);
    const auto length = static_cast<uint32_t>(data.size());
    const bool ok = pcie.pcie_AccessFirmwareEEPROM2(target, kWriteToDevice, data.data(), length, static_cast<uint8_t>(*image)) == 0 &&
                    pcie.pcie_AccessFirmwareEEPROM2(target, kReadFromDevice, back.data(), length, static_cast<uint8_t>(*image)) == 0 &&
                    back == *file;
    std::printf("image %ld of PCIe bridge %ld: %s\n", *image, *index, ok ? "written and verified" : "FAILED");
    return ok ? 0 : 1;
}

// pcie reset INDEX: stamps the USB4 block, resets the bridge and waits for its return.
int Reset(const cli::Args& args)
{
    const auto index = args.size() == 1 ? cli::ParseInteger(args[0], 0, 15) : std::nullopt;
    if (!index) return cli::UsageError("usage: pcie reset INDEX");
    CBrv795xPcieCtrl pcie;
    if (!OpenTarget(pcie, *index)) return 1;
    const auto target = static_cast<uint8_t>(*index);
    U4ConfigTable u4{};
    if (pcie.pcie_AccessConfigEEPROM2(target, kReadFromDevice, u4.data(), CONFIG_BIN_SIZE, 0, 1) != 0) return 1;
    vSetRelinkSignatureAndChkSumToU4Config(u4, target, 1);
    if (pcie.pcie_AccessConfigEEPROM2(target, kWriteToDevice, u4.data(), CONFIG_BIN_SIZE, 0, 1) != 0) return 1;
    std::printf("resetting PCIe bridge %ld ...\n", *index);
    if (pcie.CPURST(target, 1, 0x50, kDefaultVendorId, kDefaultDeviceId, 1, 0) != 0) {
        std::printf("the bridge did not come back\n");
        return 1;
    }
    PcieTarget back;
    pcie.GetTarget(target, back);
    PrintTarget(*index, back);
    return 0;
}

// pcie functions: every PCIe function the station lists.
int Functions(const cli::Args& args)
{
    if (!args.empty()) return cli::UsageError("usage: pcie functions");
    const auto functions = platform::Station().PcieFunctions();
    std::printf("%zu PCIe function(s)\n", functions.size());
    for (const platform::PcieFunction& f : functions)
        std::printf("%s  %04X:%04X  class %06X\n", platform::PcieLocationText(f.location).c_str(), f.vendorId,
                    f.deviceId, f.classCode);
    return 0;
}

// pcie bar LOCATION BAR OFFSET [COUNT]: COUNT 32-bit registers of a memory BAR
// from a hex offset.
int ReadBar(const cli::Args& args)
{
    constexpr long kMaxWords = 256;
    platform::PcieLocation location;
    const bool shape = (args.size() == 3 || args.size() == 4) && platform::ParsePcieLocation(args[0], location);
    const auto bar = shape ? cli::ParseInteger(args[1], 0, 5) : std::nullopt;
    const auto offset = shape ? cli::ParseInteger("0x" + args[2], 0, 0x7FFFFFFF) : std::nullopt;
    std::optional<long> count;
    if (shape) count = args.size() == 4 ? cli::ParseInteger(args[3], 1, kMaxWords) : std::optional<long>(1);
    if (!bar || !offset || !count || *offset % 4 != 0)
        return cli::UsageError("usage: pcie bar SSSS:BB:DD.F BAR HEX-OFFSET [COUNT] (offset a multiple of 4, "
                               "count 1..256)");
    const auto region = platform::Station().MapPcieBar(location, static_cast<int>(*bar));
    if (!region) {
        std::fprintf(stderr, "devedactl: pcie bar: BAR %ld of %s cannot be mapped\n", *bar, args[0].c_str());
        return 1;
    }
    for (long i = 0; i < *count; ++i) {
        const uint64_t at = static_cast<uint64_t>(*offset + 4 * i);
        uint32_t value = 0;
        if (!region->Read(at, 4, value)) {
            std::fprintf(stderr, "devedactl: pcie bar: offset %" PRIX64 " lies outside BAR %ld (%" PRIu64 " bytes)\n",
                         at, *bar, region->Size());
            return 1;
        }
        std::printf("%08" PRIX64 ": %08X\n", at, value);
    }
    return 0;
}

int Run(const cli::Args& args)
{
    const char* usage = "usage: pcie list [--vid HEX] [--did HEX] | pcie fw-write INDEX --image 0|1 FILE | "
                        "pcie reset INDEX | pcie functions | pcie bar SSSS:BB:DD.F BAR HEX-OFFSET [COUNT]";
    if (args.empty()) return cli::UsageError(usage);
    const cli::Args rest(args.begin() + 1, args.end());
    if (args[0] == "list") return List(rest);
    if (args[0] == "fw-write") return WriteFirmware(rest);
    if (args[0] == "reset") return Reset(rest);
    if (args[0] == "functions") return Functions(rest);
    if (args[0] == "bar") return ReadBar(rest);
    return cli::UsageError(usage);
}

}  // namespace

DEVEDA_CLI_COMMAND("pcie", Run,
                   "  pcie list [--vid HEX] [--did HEX]\n"
                   "                                scan the PCIe buses and print the bridges found\n"
                   "  pcie fw-write INDEX --image 0|1 FILE   write a firmware image over the PCIe mailbox\n"
                   "  pcie reset INDEX              reset a PCIe bridge and wait for its relink\n"
                   "  pcie functions                list the PCIe functions the station sees\n"
                   "  pcie bar SSSS:BB:DD.F BAR HEX-OFFSET [COUNT]\n"
                   "                                read 32-bit registers of a function's memory BAR");
