// The emulated station's console commands (devedactl emu ...): create, show and
// shape the station.
#include "platform/emu/EmuConsole.h"

#include <cstdio>
#include <memory>

#include "emu/DiskThroughput.h"
#include "emu/PdTunnel.h"
#include "platform/emu/EmuStation.h"
#include "util/Clock.h"
#include "util/Text.h"

namespace platform {

namespace {

using Args = std::vector<std::string>;

// Prints "devedactl: " + text to standard error; the usage exit code 2.
int UsageError(const std::string& text)
{
    std::fprintf(stderr, "devedactl: %s\n", text.c_str());
    return 2;
}

// The emulated station kept in `folder`, or null (reported) when the folder
// holds none: a station is only made by "emu init".
std::unique_ptr<EmuStation> OpenEmulatedStation(const std::string& folder)
{
    if (folder.empty()) {
        std::fprintf(stderr, "devedactl: emu commands need an emulated station (--station=emu:DIR)\n");
        return nullptr;
    }
    std::string error;
    if (!CheckEmulatedStationFolder(folder, error)) {
        std::fprintf(stderr, "devedactl: %s\n", error.c_str());
        return nullptr;
    }
    return std::make_unique<EmuStation>(folder);
}

// The time scale given to --time-scale; nullopt (reported) for anything but 1..kMaxTimeScale.
std::optional<int64_t> TimeScaleArgument(const char* command, const std::string& text)
{
    const auto value = util::ParseInteger(text, 1, emu::kMaxTimeScale);
    if (!value)
        UsageError(std::string(command) + ": --time-scale takes a number from 1 (real time) to " +
                   std::to_string(emu::kMaxTimeScale) + ", not '" + text + "'");
    return value;
}

int Init(const std::string& folder, const Args& args)
{
    long bridges = 4;
    std::optional<int64_t> timeScale;
    for (size_t i = 0; i < args.size(); i += 2) {
        if (i + 1 >= args.size() || (args[i] != "--bridges" && args[i] != "--time-scale"))
            return UsageError("emu init: expected '[--bridges N] [--time-scale N]'");
        if (args[i] == "--bridges") {
            const auto value = util::ParseInteger(args[i + 1], 0, 64);
            if (!value) return UsageError("emu init: --bridges takes a number from 0 to 64, not '" + args[i + 1] + "'");
            bridges = *value;
        } else if (!(timeScale = TimeScaleArgument("emu init", args[i + 1]))) {
            return 2;
        }
    }
    if (folder.empty()) return UsageError("emu init: needs --station=emu:DIR");
    std::string error;
    if (!CheckFolderPath(folder, error))
        return UsageError("emu init: " + folder + ": " + error);
    emu::World world(folder);
    // The station starts on the wall clock's time, so that a scaled clock and
    // stamps made on the real one before it start from the same moment.
    if (!world.Init(static_cast<int>(bridges)) ||
        (timeScale && *timeScale > 1 && !world.SetTimeScale(*timeScale, util::RealClock().NowMs()))) {
        std::fprintf(stderr, "devedactl: emu init: cannot write the station in %s\n", folder.c_str());
        return 1;
    }
    std::printf("station %s: %ld bridges on disks 1..%ld\n", folder.c_str(), bridges, bridges);
    return 0;
}

// emu set --time-scale N: the station's clock runs N times faster from now on.
// Processes take the clock when they start; one running meanwhile keeps the old one.
int SetTimeScale(const std::string& folder, const Args& args)
{
    if (args.size() != 2) return UsageError("usage: emu set --time-scale N");
    const auto scale = TimeScaleArgument("emu set", args[1]);
    if (!scale) return 2;
    auto station = OpenEmulatedStation(folder);
    if (!station) return 1;
    if (!station->ModifyWorld([&](emu::World& world) { return world.SetTimeScale(*scale, util::RealClock().NowMs()); })) {
        std::fprintf(stderr, "devedactl: emu set: cannot write the station in %s\n", folder.c_str());
        return 1;
    }
    return 0;
}

void PrintRegister(const emu::Bridge& bridge, uint32_t address, int count)
{
    std::printf("    0x%05X:", address);
    for (int i = 0; i < count; ++i) std::printf(" %02X", bridge.ReadRegister(address + static_cast<uint32_t>(i)));
    std::printf("\n");
}

const char* FaultEffect(emu::FaultMode mode)
{
    switch (mode) {
    case emu::FaultMode::CallFails: return "fail the call";
    case emu::FaultMode::CheckCondition: return "end in CHECK CONDITION";
    case emu::FaultMode::NoAnswer: return "get no answer";
    case emu::FaultMode::Unplug: return "unplug the bridge";
    }
    return "";
}

int Show(const std::string& folder, const Args& args)
{
    if (!args.empty()) return UsageError("emu show takes no arguments");
    auto station = OpenEmulatedStation(folder);
    if (!station) return 1;
    const auto ids = station->World().BridgeIds();
    std::printf("station %s: %zu bridges; disk 0 is the system disk\n", station->World().Folder().c_str(), ids.size());
    if (const auto time = station->World().Time())
        std::printf("clock: %lld times real time\n", static_cast<long long>(time->scale));
    for (const auto& hub : station->World().Hubs())
        std::printf("hub %d: %d ports, on controller %d, hub %d, port %d\n", hub.id, hub.ports, hub.location.controller,
                    hub.location.hub, hub.location.port);
    for (const auto& decoy : station->World().Decoys())
        std::printf("decoy %d: %s on disk %d, serial %s, controller %d, hub %d, port %d\n", decoy.id, decoy.kind.c_str(),
                    decoy.disk, decoy.serial.c_str(), decoy.location.controller, decoy.location.hub,
                    decoy.location.port);
    for (int id : ids) {
        const emu::Bridge bridge(station->World().BridgeFolder(id));
        const auto location = bridge.Location();
        const auto identity = bridge.Identity();
        std::printf("bridge %d: disk %d, %s, chip %s, mode %s, running image %d\n", id, bridge.DiskNumber(),
                    bridge.Present() ? "on the bus" : "off the bus", bridge.ChipId().c_str(),
                    emu::U4ModeName(bridge.Mode()), bridge.RunningImage());
        std::printf("  usb: controller %d, hub %d, port %d; VID %04X PID %04X rev %04X serial \"%s\" \"%s\" \"%s\"%s\n",
                    location.controller, location.hub, location.port, identity.idVendor, identity.idProduct,
                    identity.bcdDevice, identity.serial.c_str(), identity.manufacturer.c_str(),
                    identity.product.c_str(), bridge.CdromNumber() >= 0 ? " (CD-ROM)" : "");
        for (int image = 0; image < 2; ++image)
            std::printf("  image %d: %zu bytes, version %s\n", image, bridge.FirmwareImage(image).size(),
                        bridge.ImageVersion(image).c_str());
        if (const std::string pd = emu::PdTunnel(bridge.Folder()).StateText(); !pd.empty())
            std::printf("  pd: %s\n", pd.c_str());
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
                        FaultEffect(fault.mode));
    }
    return 0;
}

// Adds a failing or slow sector range to a bridge's disk.
int SectorFault(const std::string& folder, const Args& args, const char* usage)
{
    const auto id = util::ParseInteger(args[0], 1, 1000);
    if (!id) return UsageError("emu fault: bad bridge id '" + args[0] + "'");
    std::string text;
    for (size_t i = 2; i < args.size(); ++i) text += (i > 2 ? " " : "") + args[i];
    const auto range = emu::ParseSectorRange(text);
    if (!range) return UsageError(std::string("usage: ") + usage);
    auto station = OpenEmulatedStation(folder);
    if (!station) return 1;
    const bool ok = station->ModifyBridge(static_cast<int>(*id), [&](emu::Bridge& bridge) {
        const std::string ranges = bridge.Get(emu::kDiskSectorFaultsKey);
        bridge.Set(emu::kDiskSectorFaultsKey, (ranges.empty() ? "" : ranges + ";") + emu::SectorRangeText(*range));
    });
    if (!ok) {
        std::fprintf(stderr, "devedactl: emu fault: no bridge %ld in this station\n", *id);
        return 1;
    }
    return 0;
}

int Fault(const std::string& folder, const Args& args)
{
    const char* usage = "emu fault BRIDGE (OPCODE call|check|hang|unplug COUNT | sectors FIRST-LAST fail|slow MIBPS | clear)";
    if (args.size() >= 2 && args[1] == "sectors") return SectorFault(folder, args, usage);
    if (args.size() != 2 && args.size() != 4) return UsageError(std::string("usage: ") + usage);
    const auto id = util::ParseInteger(args[0], 1, 1000);
    if (!id) return UsageError("emu fault: bad bridge id '" + args[0] + "'");
    auto station = OpenEmulatedStation(folder);
    if (!station) return 1;
    std::function<void(emu::Bridge&)> change;
    if (args.size() == 2) {
        if (args[1] != "clear") return UsageError(std::string("usage: ") + usage);
        change = [](emu::Bridge& bridge) {
            bridge.ClearFaults();
            bridge.Set(emu::kDiskSectorFaultsKey, "");
        };
    } else {
        const auto opcode = util::ParseHexBytes(args[1]);
        const auto count = util::ParseInteger(args[3], 0, 1000000);
        if (!opcode || opcode->size() != 1) return UsageError("emu fault: OPCODE is one hex byte, e.g. E4");
        const auto mode = emu::FaultModeFromWord(args[2]);
        if (!mode) return UsageError("emu fault: mode is 'call', 'check', 'hang' or 'unplug'");
        if (!count) return UsageError("emu fault: bad COUNT '" + args[3] + "'");
        change = [opcode = (*opcode)[0], mode = *mode, count = static_cast<int>(*count)](emu::Bridge& bridge) {
            bridge.SetFault(opcode, mode, count);
        };
    }
    if (!station->ModifyBridge(static_cast<int>(*id), change)) {
        std::fprintf(stderr, "devedactl: emu fault: no bridge %ld in this station\n", *id);
        return 1;
    }
    return 0;
}

// Applies "key=value" settings to a bridge: hub=H port=P controller=C, cdrom=N|off,
// u4mode=legacy|tbt3|pcie|usb3, link=full|high|super|superx2|plus|plusx2,
// serial=on|off, disk_size_mib=N, present=0|1, pd.KEY=VALUE for the PD controller
// and MCU behind the bridge (unknown pd. keys are refused), and any other state key as is.
bool ApplyBridgeSetting(emu::Bridge& bridge, const std::string& key, const std::string& value, std::string& error)
{
    if (key == "hub" || key == "port" || key == "controller") {
        auto location = bridge.Location();
        const auto number = util::ParseInteger(value, 0, 255);
        if (!number) return error = key + " takes a number", false;
        (key == "hub" ? location.hub : key == "port" ? location.port : location.controller) = static_cast<int>(*number);
        bridge.SetLocation(location);
    } else if (key == "cdrom") {
        const auto number = util::ParseInteger(value, 0, 255);
        if (value != "off" && !number) return error = "cdrom takes a CD-ROM number or 'off'", false;
        bridge.SetCdrom(value == "off" ? -1 : static_cast<int>(*number));
    } else if (key == "u4mode") {
        emu::U4Mode mode;
        if (!emu::ParseU4Mode(value, mode)) return error = "u4mode is legacy, tbt3, pcie or usb3", false;
        bridge.SetMode(mode);
    } else if (key == "link") {
        if (!bridge.SetUsb3Link(value)) return error = "link is full, high, super, superx2, plus or plusx2", false;
    } else if (key == "serial") {
        if (value != "on" && value != "off") return error = "serial is on or off", false;
        bridge.SetSerialStringOff(value == "off");
    } else if (key == "disk_read_mibps" || key == "disk_write_mibps") {
        if (!util::ParseInteger(value, 0, 1000000)) return error = key + " takes MiB/s from 0 (no limit) to 1000000", false;
        bridge.Set(key, value);
    } else if (key == "disk_corrupt_writes") {
        if (value != "0" && value != "1") return error = "disk_corrupt_writes is 0 or 1", false;
        bridge.Set(key, value);
    } else if (key.rfind("pd.", 0) == 0) {
        return emu::PdTunnel::ApplySetting(bridge.Folder(), key.substr(3), value, error);
    } else {
        bridge.Set(key, value);
    }
    return true;
}

int Set(const std::string& folder, const Args& args)
{
    if (!args.empty() && args[0] == "--time-scale") return SetTimeScale(folder, args);
    if (args.size() < 2) return UsageError("usage: emu set BRIDGE KEY=VALUE...");
    const auto id = util::ParseInteger(args[0], 1, 1000);
    if (!id) return UsageError("emu set: bad bridge id '" + args[0] + "'");
    auto station = OpenEmulatedStation(folder);
    if (!station) return 1;
    std::string error;
    const bool ok = station->ModifyBridge(static_cast<int>(*id), [&](emu::Bridge& bridge) {
        for (size_t i = 1; i < args.size() && error.empty(); ++i) {
            const size_t eq = args[i].find('=');
            if (eq == std::string::npos) error = "expected KEY=VALUE, not '" + args[i] + "'";
            else ApplyBridgeSetting(bridge, args[i].substr(0, eq), args[i].substr(eq + 1), error);
        }
    });
    if (!error.empty()) return UsageError("emu set: " + error + " (nothing saved)");
    if (!ok) {
        std::fprintf(stderr, "devedactl: emu set: no bridge %ld in this station\n", *id);
        return 1;
    }
    return 0;
}

int Add(const std::string& folder, const Args& args)
{
    auto station = OpenEmulatedStation(folder);
    if (!station) return 1;
    int id = 0;
    station->ModifyWorld([&](emu::World& world) {
        const auto port = world.FreeRootPort();
        if (!port) return false;
        emu::BridgeSetup setup;
        setup.diskNumber = world.TakeDiskNumber();
        setup.location = *port;
        id = world.AddBridge(setup);
        return id != 0;
    });
    if (id == 0) {
        std::fprintf(stderr, "devedactl: emu add: no free root-hub port\n");
        return 1;
    }
    if (args.empty()) {
        std::printf("bridge %d added\n", id);
        return 0;
    }
    Args settings{std::to_string(id)};
    settings.insert(settings.end(), args.begin(), args.end());
    const int result = Set(folder, settings);
    if (result == 0) std::printf("bridge %d added\n", id);
    return result;
}

int Remove(const std::string& folder, const Args& args)
{
    const auto id = args.size() == 1 ? util::ParseInteger(args[0], 1, 1000) : std::nullopt;
    if (!id) return UsageError("usage: emu remove BRIDGE");
    auto station = OpenEmulatedStation(folder);
    if (!station) return 1;
    if (!station->ModifyWorld([&](emu::World& world) { return world.RemoveBridge(static_cast<int>(*id)); })) {
        std::fprintf(stderr, "devedactl: emu remove: no bridge %ld in this station\n", *id);
        return 1;
    }
    return 0;
}

// emu hub add controller=C [hub=H] port=P [ports=N]
// emu decoy add kind=stick|sata disk=D serial=S [controller=C hub=H port=P]
int AddHubOrDecoy(const std::string& folder, const std::string& what, const Args& args)
{
    if (args.empty() || args[0] != "add") return UsageError("usage: emu " + what + " add KEY=VALUE...");
    std::string text;
    for (size_t i = 1; i < args.size(); ++i) text += args[i] + " ";
    auto fields = emu::ParseFields(text);
    auto number = [&](const char* key, long fallback) {
        return fields.count(key) ? util::ParseInteger(fields[key], 0, 1000) : std::optional<long>(fallback);
    };
    const auto controller = number("controller", 0), hub = number("hub", 0), port = number("port", 0),
               ports = number("ports", 4), disk = number("disk", 0);
    if (!controller || !hub || !port || !ports || !disk) return UsageError("emu " + what + ": bad number in '" + text + "'");
    auto station = OpenEmulatedStation(folder);
    if (!station) return 1;
    int id = 0;
    const emu::UsbLocation location{static_cast<int>(*controller), static_cast<int>(*hub), static_cast<int>(*port)};
    if (what == "hub") {
        station->ModifyWorld([&](emu::World& world) { return (id = world.AddHub({0, location, static_cast<int>(*ports)})) != 0; });
    } else {
        if (fields["kind"] != "stick" && fields["kind"] != "sata") return UsageError("emu decoy: kind is stick or sata");
        if (*disk == 0 || fields["serial"].empty()) return UsageError("emu decoy: needs disk=D (not 0) and serial=S");
        station->ModifyWorld([&](emu::World& world) {
            return (id = world.AddDecoy({0, fields["kind"], static_cast<int>(*disk), location, fields["serial"]})) != 0;
        });
    }
    if (id == 0) return 1;
    std::printf("%s %d added\n", what.c_str(), id);
    return 0;
}

// emu image FILE --version HEX12 [--size BYTES] [--signature HEX]: a firmware
// image as the emulated bridges boot it, carrying the digest of the standard key.
int Image(const Args& args)
{
    const char* usage = "usage: emu image FILE --version HEX12 [--size BYTES] [--signature HEX]";
    if (args.empty() || args.size() % 2 == 0) return UsageError(usage);
    std::optional<std::vector<uint8_t>> version;
    long size = 0x1B000, signature = 0x5A;
    for (size_t i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == "--version") version = util::ParseHexBytes(args[i + 1]);
        else if (args[i] == "--size") size = util::ParseInteger(args[i + 1], 0x300, emu::kFirmwareImageMax).value_or(-1);
        else if (args[i] == "--signature") signature = util::ParseInteger("0x" + args[i + 1], 0, 255).value_or(-1);
        else return UsageError(usage);
    }
    if (!version || version->size() != 6 || size < 0 || signature < 0) return UsageError(usage);
    std::array<uint8_t, 6> bytes{};
    std::copy(version->begin(), version->end(), bytes.begin());
    const auto image = emu::MakeFirmwareImage(bytes, static_cast<uint32_t>(size), static_cast<uint8_t>(signature),
                                              emu::StandardKey(), static_cast<uint32_t>(size));
    if (!emu::WriteBlob(args[0], std::string(image.begin(), image.end()))) {
        std::fprintf(stderr, "devedactl: emu image: cannot write %s\n", args[0].c_str());
        return 1;
    }
    return 0;
}

int RunEmu(const std::string& folder, const Args& args)
{
    if (args.empty()) return UsageError("emu: expected init, show, fault, set, add, remove, hub or decoy");
    const Args rest(args.begin() + 1, args.end());
    if (args[0] == "init") return Init(folder, rest);
    if (args[0] == "show") return Show(folder, rest);
    if (args[0] == "fault") return Fault(folder, rest);
    if (args[0] == "set") return Set(folder, rest);
    if (args[0] == "add") return Add(folder, rest);
    if (args[0] == "remove") return Remove(folder, rest);
    if (args[0] == "image") return Image(rest);
    if (args[0] == "plug" || args[0] == "unplug") {
        const auto id = rest.size() == 1 ? util::ParseInteger(rest[0], 1, 1000) : std::nullopt;
        if (!id) return UsageError("usage: emu " + args[0] + " BRIDGE");
        auto station = OpenEmulatedStation(folder);
        if (!station || !station->SetBridgePlugged(static_cast<int>(*id), args[0] == "plug")) {
            std::fprintf(stderr, "devedactl: emu %s: no bridge %ld in this station\n", args[0].c_str(), *id);
            return 1;
        }
        return 0;
    }
    if (args[0] == "replug") {
        const auto id = rest.size() == 1 ? util::ParseInteger(rest[0], 1, 1000) : std::nullopt;
        if (!id) return UsageError("usage: emu replug BRIDGE");
        auto station = OpenEmulatedStation(folder);
        if (!station || !station->ModifyBridge(static_cast<int>(*id), [](emu::Bridge& bridge) {
                bridge.SetPresent(true);
                bridge.Boot();
                emu::PdTunnel::PowerCycle(bridge.Folder());
            }))
            return 1;
        return 0;
    }
    if (args[0] == "hub" || args[0] == "decoy") return AddHubOrDecoy(folder, args[0], rest);
    return UsageError("emu: unknown subcommand '" + args[0] + "'");
}

}  // namespace

int RunEmuConsole(const std::string& folder, const std::vector<std::string>& args)
{
    return RunEmu(folder, args);
}

const char* const kEmuConsoleUsage =
    "  emu init [--bridges N] [--time-scale N]   create the emulated station (N default bridges);\n"
    "                                with --time-scale every process using it runs N times faster\n"
    "  emu show                      state of every emulated bridge\n"
    "  emu fault BRIDGE OPCODE call|check|hang|unplug COUNT   fail the next COUNT requests of OPCODE\n"
    "                                (a failed call, a CHECK CONDITION, no answer until the time-out,\n"
    "                                or the bridge pulled out during the command)\n"
    "  emu fault BRIDGE sectors FIRST-LAST fail|slow MIBPS   a failing or slow range of disk sectors\n"
    "  emu fault BRIDGE clear        remove the bridge's injected faults\n"
    "  emu add [KEY=VALUE...]        add a bridge on a free root-hub port (settings as for emu set)\n"
    "  emu remove BRIDGE             unplug a bridge for good\n"
    "  emu image FILE --version HEX12 [--size BYTES] [--signature HEX]   a bootable firmware image\n"
    "  emu plug BRIDGE | emu unplug BRIDGE   plug a bridge in (new disk number) or pull it out\n"
    "  emu replug BRIDGE             power-cycle a bridge: it boots and re-reads its table, its PD chips restart\n"
    "  emu set --time-scale N        the station's clock runs N times faster than real time (1: real time)\n"
    "  emu set BRIDGE KEY=VALUE...   controller= hub= port= cdrom=N|off u4mode=legacy|tbt3|pcie|usb3\n"
    "                                link=full|high|super|superx2|plus|plusx2 serial=on|off disk_size_mib=N\n"
    "                                disk_read_mibps=N disk_write_mibps=N disk_corrupt_writes=0|1\n"
    "                                pd.vendor=none|richtek|cypress|ccg3 pd.mcu=none|stm pd.mode=1|2\n"
    "                                pd.fail=SUB [pd.fail_count=N] pd.no_answer=1 pd.corrupt_row=N\n"
    "                                pd.replug=never pd.replug_ms=MS pd.version_row=N\n"
    "  emu hub add controller=C [hub=H] port=P [ports=N]      an external hub\n"
    "  emu decoy add kind=stick|sata disk=D serial=S [controller=C hub=H port=P]";

}  // namespace platform
