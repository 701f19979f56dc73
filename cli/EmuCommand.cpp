// devedactl emu: create, show and shape the emulated station.
#include <cstdio>
#include <memory>

#include "cli/CliCommand.h"
#include "cli/CliText.h"
#include "platform/emu/EmuStation.h"

namespace {

// The emulated station named by --station / DEVEDA_STATION, or null (reported).
std::unique_ptr<platform::EmuStation> OpenEmulatedStation()
{
    const std::string folder = platform::EmulatedStationFolder(platform::StationSpec());
    if (folder.empty()) {
        std::fprintf(stderr, "devedactl: emu commands need an emulated station (--station=emu:DIR)\n");
        return nullptr;
    }
    return std::make_unique<platform::EmuStation>(folder);
}

int Init(const cli::Args& args)
{
    long bridges = 4;
    if (args.size() == 2 && args[0] == "--bridges") {
        const auto value = cli::ParseInteger(args[1], 0, 64);
        if (!value) return cli::UsageError("emu init: --bridges takes a number from 0 to 64, not '" + args[1] + "'");
        bridges = *value;
    } else if (!args.empty()) {
        return cli::UsageError("emu init: expected '--bridges N'");
    }
    const std::string folder = platform::EmulatedStationFolder(platform::StationSpec());
    if (folder.empty()) return cli::UsageError("emu init: needs --station=emu:DIR");
    if (!emu::World(folder).Init(static_cast<int>(bridges))) {
        std::fprintf(stderr, "devedactl: emu init: cannot write the station in %s\n", folder.c_str());
        return 1;
    }
    std::printf("station %s: %ld bridges on disks 1..%ld\n", folder.c_str(), bridges, bridges);
    return 0;
}

void PrintRegister(const emu::Bridge& bridge, uint32_t address, int count)
{
    std::printf("    0x%05X:", address);
    for (int i = 0; i < count; ++i) std::printf(" %02X", bridge.ReadRegister(address + static_cast<uint32_t>(i)));
    std::printf("\n");
}

int Show(const cli::Args& args)
{
    if (!args.empty()) return cli::UsageError("emu show takes no arguments");
    auto station = OpenEmulatedStation();
    if (!station) return 1;
    const auto ids = station->World().BridgeIds();
    std::printf("station %s: %zu bridges; disk 0 is the system disk\n", station->World().Folder().c_str(), ids.size());
    for (int id : ids) {
        const emu::Bridge bridge(station->World().BridgeFolder(id));
        std::printf("bridge %d: disk %d, %s, chip %s, mode %s, running image %d\n", id, bridge.DiskNumber(),
                    bridge.Present() ? "on the bus" : "off the bus", bridge.ChipId().c_str(),
                    emu::U4ModeName(bridge.Mode()), bridge.RunningImage());
        for (int image = 0; image < 2; ++image)
            std::printf("  image %d: %zu bytes, version %s\n", image, bridge.FirmwareImage(image).size(),
                        bridge.ImageVersion(image).c_str());
        std::printf("  registers:\n");
        PrintRegister(bridge, emu::reg::kFirmwareVersion, 7);
        for (uint32_t address : {emu::reg::kVariantRevision, emu::reg::kUsbMode, emu::reg::kUsbConnection,
                                 emu::reg::kUsb3Lanes, emu::reg::kCcOrientation, emu::reg::kSha256Option,
                                 emu::reg::kU4Link, emu::reg::kU4Tunnel, emu::reg::kU4SpeedA, emu::reg::kU4SpeedC,
                                 emu::reg::kU4SpeedD, emu::reg::kU4SpeedE, emu::reg::kU4ErrorRecovery})
            PrintRegister(bridge, address, 1);
        const auto faults = bridge.Faults();
        for (const auto& [opcode, fault] : faults)
            std::printf("  fault: next %d requests of opcode %02X %s\n", fault.remaining, opcode,
                        fault.mode == emu::FaultMode::CallFails ? "fail the call" : "end in CHECK CONDITION");
    }
    return 0;
}

int Fault(const cli::Args& args)
{
    const char* usage = "emu fault BRIDGE (OPCODE call|check COUNT | clear)";
    if (args.size() != 2 && args.size() != 4) return cli::UsageError(std::string("usage: ") + usage);
    const auto id = cli::ParseInteger(args[0], 1, 1000);
    if (!id) return cli::UsageError("emu fault: bad bridge id '" + args[0] + "'");
    auto station = OpenEmulatedStation();
    if (!station) return 1;
    std::function<void(emu::Bridge&)> change;
    if (args.size() == 2) {
        if (args[1] != "clear") return cli::UsageError(std::string("usage: ") + usage);
        change = [](emu::Bridge& bridge) { bridge.ClearFaults(); };
    } else {
        const auto opcode = cli::ParseHexBytes(args[1]);
        const auto count = cli::ParseInteger(args[3], 0, 1000000);
        if (!opcode || opcode->size() != 1) return cli::UsageError("emu fault: OPCODE is one hex byte, e.g. E4");
        if (args[2] != "call" && args[2] != "check") return cli::UsageError("emu fault: mode is 'call' or 'check'");
        if (!count) return cli::UsageError("emu fault: bad COUNT '" + args[3] + "'");
        const auto mode = args[2] == "call" ? emu::FaultMode::CallFails : emu::FaultMode::CheckCondition;
        change = [opcode = (*opcode)[0], mode, count = static_cast<int>(*count)](emu::Bridge& bridge) {
            bridge.SetFault(opcode, mode, count);
        };
    }
    if (!station->ModifyBridge(static_cast<int>(*id), change)) {
        std::fprintf(stderr, "devedactl: emu fault: no bridge %ld in this station\n", *id);
        return 1;
    }
    return 0;
}

int RunEmu(const cli::Args& args)
{
    if (args.empty()) return cli::UsageError("emu: expected init, show or fault");
    const cli::Args rest(args.begin() + 1, args.end());
    if (args[0] == "init") return Init(rest);
    if (args[0] == "show") return Show(rest);
    if (args[0] == "fault") return Fault(rest);
    return cli::UsageError("emu: unknown subcommand '" + args[0] + "'");
}

}  // namespace

DEVEDA_CLI_COMMAND("emu", RunEmu,
                   "  emu init [--bridges N]        create the emulated station (N default bridges)\n"
                   "  emu show                      state of every emulated bridge\n"
                   "  emu fault BRIDGE OPCODE call|check COUNT   fail the next COUNT requests of OPCODE\n"
                   "  emu fault BRIDGE clear        remove the bridge's injected faults");
