// devedactl pd: PD and MCU firmware files and the PD controllers behind the bridges.
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "cli/CliCommand.h"
#include "cli/CliText.h"
#include "pd/PDFirmwareFile.h"
#include "pd/PDPorts.h"
#include "pd/PowerDelivery.h"
#include "pd/TIUpdate.h"

namespace {

constexpr const char* kUsage =
    "  pd inspect FILE   kind, vendor, version, rows or records, and every reason the file is refused\n"
    "                    (exit 0 when the file may be programmed, 1 when not)\n"
    "  pd info --disk N [--pd FILE]... [--mcu FILE] [--json]   PD chip, MCU, device mode, device and file\n"
    "                    versions (one JSON document with --json)\n"
    "  pd update --disk N|--all [--pd FILE]... [--mcu FILE]   update every chosen port (exit 0 when all PASS);\n"
    "                    each port takes the --pd file that fits its chip\n"
    "  pd ti --disk N FILE   the TI PD controller update of the bridge on disk N, every step shown";

void PrintCypress(const pd::CypressFile& file)
{
    std::printf("silicon ID          0x%08X, revision 0x%02X, checksum type 0x%02X\n", file.header.dwSliconID,
                file.header.ucSiliconRev, file.header.ucCheckSumType);
    std::printf("rows                %zu", file.rows.size());
    if (!file.rows.empty())
        std::printf(" (0x%04X..0x%04X)", file.rows.front().wRowNum, file.rows.back().wRowNum);
    std::printf("%s\n", file.bLowRows ? ", rows below 36: the version is not compared after the update" : "");
}

void PrintMCU(const pd::MCUFile& file)
{
    size_t counts[6] = {};
    for (const auto& record : file.records)
        if (record.ucDataType < 6) ++counts[record.ucDataType];
    std::printf("records             %zu\n", file.records.size());
    for (uint8_t type = 0; type < 6; ++type)
        if (counts[type]) std::printf("  %-24s %zu\n", pd::HexRecordTypeName(type), counts[type]);
    const auto image = pd::BuildMCUImage(file);
    std::printf("image               0x%04X bytes at 0x%04X0000\n", image.length, image.upperAddress);
}

int Inspect(const std::string& path)
{
    const pd::PDFirmwareFile file = pd::LoadPDFirmwareFile(path);
    std::printf("file                %s (%llu bytes)\n", path.c_str(), static_cast<unsigned long long>(file.fileSize));
    std::printf("kind                %s\n", pd::PDFileKindName(file.kind));
    std::printf("vendor code         %d\n", pd::FileVendorOfKind(file.kind));
    if (file.kind != pd::PDFileKind::STMHex)
        std::printf("version             %s\n", file.version.empty() ? "(none)" : file.version.c_str());
    if (file.kind == pd::PDFileKind::Cypress) PrintCypress(file.cypress);
    if (file.kind == pd::PDFileKind::STMHex) PrintMCU(file.mcu);
    for (const auto& finding : file.findings) std::printf("%s\n", pd::FindingText(path, finding).c_str());
    std::printf("verdict             %s\n", file.Accepted() ? "ACCEPTED" : "REFUSED");
    return file.Accepted() ? 0 : 1;
}

const char* VendorName(int vendor)
{
    switch (vendor) {
    case pd::kVendorRichtek: return "Richtek";
    case pd::kVendorCypress: return "Cypress";
    case pd::kVendorCCG3: return "Cypress CCG3";
    case pd::kVendorCCG3Alt: return "Cypress CCG3 (5)";
    default: return "none";
    }
}

struct PortChoice {
    std::optional<long> disk;
    bool all = false;
    pd::PDUpdateSettings settings;
};

std::optional<PortChoice> ParseChoice(const cli::Args& args, const std::string& what)
{
    PortChoice choice;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--disk" && i + 1 < args.size()) {
            choice.disk = cli::ParseInteger(args[++i], 1, 255);
            if (!choice.disk) return cli::UsageError(what + ": --disk takes a disk number"), std::nullopt;
        } else if (args[i] == "--all") {
            choice.all = true;
        } else if (args[i] == "--pd" && i + 1 < args.size()) {
            choice.settings.pdFiles.push_back(args[++i]);
        } else if (args[i] == "--mcu" && i + 1 < args.size() && choice.settings.mcuFile.empty()) {
            choice.settings.mcuFile = args[++i];
        } else {
            return cli::UsageError(what + ": unexpected '" + args[i] + "'"), std::nullopt;
        }
    }
    choice.settings.pdEnabled = !choice.settings.pdFiles.empty();
    choice.settings.mcuEnabled = !choice.settings.mcuFile.empty();
    return choice;
}

// The ports a choice names; empty (reported) when none is there.
std::vector<pd::PDPort> ChosenPorts(const PortChoice& choice)
{
    std::vector<pd::PDPort> ports = pd::FindPDPorts(platform::Station());
    if (choice.disk)
        std::erase_if(ports, [&](const pd::PDPort& port) { return port.drive != *choice.disk; });
    if (ports.empty())
        std::fprintf(stderr, "devedactl: no 795x bridge %s\n",
                     choice.disk ? ("on disk " + std::to_string(*choice.disk)).c_str() : "found");
    return ports;
}

// What `pd info` reads from one port, for the text and the JSON form.
struct PortInfo {
    int drive = 0;
    std::string usbSerial;
    int pdVendor = 0;
    bool busReady = false;
    bool mcu = false;
    std::optional<int> deviceMode;  // CCG3 controllers only
    std::optional<std::string> pdVersion;
    struct File {
        std::string path, version;
        bool accepted = false;
    };
    std::vector<File> files;
};

PortInfo ReadPortInfo(const pd::PDPort& port, const std::vector<std::string>& pdFiles)
{
    PortInfo info;
    info.drive = port.drive;
    info.usbSerial = port.serial;
    pd::CPowerDelivery channel;
    info.busReady = channel.nInitializedPDI2CBus(port.drive) == 0;
    info.pdVendor = channel.m_nPDChipVendor;
    info.mcu = channel.m_nMCUChipVendor == pd::kVendorSTM;
    if (info.pdVendor == pd::kVendorCCG3 || info.pdVendor == pd::kVendorCCG3Alt)
        info.deviceMode = channel.m_nCCG3DeviceMode;
    if (info.busReady && channel.nGetPDFWVersion(port.drive, true, false) == 0)
        info.pdVersion = channel.m_strDeviceVersion;
    for (const auto& path : pdFiles) {
        const auto file = pd::LoadPDFirmwareFile(path);
        info.files.push_back({path, file.version, file.Accepted()});
    }
    return info;
}

void PrintPortInfo(const PortInfo& info)
{
    std::printf("disk                %d (USB serial %s)\n", info.drive, info.usbSerial.c_str());
    std::printf("PD chip             %s (vendor code %d)%s\n", VendorName(info.pdVendor), info.pdVendor,
                info.busReady ? "" : ", bus set-up FAILED");
    std::printf("MCU                 %s\n", info.mcu ? "STM (vendor code 20)" : "none");
    if (info.deviceMode) std::printf("device mode         %d (bank %d)\n", *info.deviceMode, *info.deviceMode);
    std::printf("PD version          %s\n", info.pdVersion ? info.pdVersion->c_str() : "NULL");
    std::printf("MCU version         %s\n", info.mcu ? "FFFF" : "NULL");
    for (const auto& file : info.files)
        std::printf("PD file version     %s  %s%s\n", file.version.empty() ? "(none)" : file.version.c_str(),
                    file.path.c_str(), file.accepted ? "" : " (REFUSED: see pd inspect)");
}

// The same as one JSON object (docs/json/pd-info.schema.json).
std::string PortInfoJson(const PortInfo& info)
{
    cli::JsonObject o;
    o.Number("disk", info.drive).Text("usbSerial", info.usbSerial);
    o.Text("pdChip", VendorName(info.pdVendor)).Number("pdVendorCode", info.pdVendor).Bool("busReady", info.busReady);
    o.Text("mcu", info.mcu ? "STM" : "none");
    if (info.deviceMode) o.Number("deviceMode", *info.deviceMode);
    else o.Null("deviceMode");
    if (info.pdVersion) o.Text("pdVersion", *info.pdVersion);
    else o.Null("pdVersion");
    std::vector<std::string> files;
    for (const auto& file : info.files) {
        cli::JsonObject f;
        f.Text("file", file.path).Bool("accepted", file.accepted);
        if (file.version.empty()) f.Null("version");
        else f.Text("version", file.version);
        files.push_back(f.Json());
    }
    o.Raw("pdFiles", cli::JsonArray(files));
    return o.Json();
}

int Info(const cli::Args& args)
{
    cli::Args rest = args;
    const bool json = std::erase(rest, std::string("--json")) > 0;
    const auto choice = ParseChoice(rest, "pd info");
    if (!choice) return 2;
    if (!choice->disk) return cli::UsageError("pd info: --disk N expected");
    const auto ports = ChosenPorts(*choice);
    if (ports.empty()) return 1;
    const PortInfo info = ReadPortInfo(ports.front(), choice->settings.pdFiles);
    if (json) std::printf("%s\n", PortInfoJson(info).c_str());
    else PrintPortInfo(info);
    return info.pdVersion ? 0 : 1;
}

// Prints what the update model reports, one line per event, and hands the
// operator's power cycle to the emulated operator when there is one.
class ConsoleView final : public pd::IPDUpdateObserver {
public:
    explicit ConsoleView(platform::IStation& station) : m_Station(station) {}
    void OnStatus(int port, int code) override { std::printf("port %d: %s\n", port, pd::Show_Message(code).text); }
    void OnProgress(int port, int percent, uint32_t rgb) override
    {
        int& last = m_LastPercent[port];
        if (percent != 100 && percent - last < 10) return;
        last = percent;
        std::printf("port %d: %3d%%%s\n", port, percent, rgb == pd::kPDBarFailed ? " (red)" : "");
    }
    void OnVersion(int port, const std::string& text) override
    {
        std::string line = text;
        for (char& c : line)
            if (c == '\n') c = ' ';
        std::printf("port %d: version %s\n", port, line.c_str());
    }
    void OnMessage(int port, const std::string& text) override
    {
        if (port < 0) std::printf("%s\n", text.c_str());
        else std::printf("port %d: message: %s\n", port, text.c_str());
    }
    void OnPowerCycleRequest(int port, int drive) override
    {
        if (m_Station.OperatorPowerCycle(static_cast<uint32_t>(drive)))
            std::printf("port %d: (emulated operator power-cycles disk %d)\n", port, drive);
    }
    void OnFinished(int port, int result) override
    {
        std::printf("port %d: %s (code %d)\n", port, result == 0 ? "PASS" : "FAIL", result);
    }

private:
    platform::IStation& m_Station;
    std::map<int, int> m_LastPercent;
};

int Update(const cli::Args& args)
{
    const auto choice = ParseChoice(args, "pd update");
    if (!choice) return 2;
    if (choice->all == choice->disk.has_value()) return cli::UsageError("pd update: --disk N or --all expected");
    if (!choice->settings.pdEnabled && !choice->settings.mcuEnabled)
        return cli::UsageError("pd update: --pd FILE and/or --mcu FILE expected");
    ConsoleView view(platform::Station());
    pd::CPDUpdateDlg dialog(platform::Station(), choice->settings, pd::RelinkBySerial(platform::Station()), view);
    if (!dialog.LoadFiles()) {
        std::fprintf(stderr, "devedactl: pd update: refused files, nothing written\n");
        return 1;
    }
    const auto ports = ChosenPorts(*choice);
    if (ports.empty()) return 1;
    for (const auto& port : ports) std::printf("port %d: disk %d, USB serial %s\n", port.port, port.drive, port.serial.c_str());
    const auto outcomes = dialog.OnBnClickedButtonPdStart(ports);
    dialog.ClosePDBuses(outcomes);
    int passed = 0;
    for (size_t i = 0; i < outcomes.size(); ++i) {
        std::printf("port %zu: disk %d %s\n", i, outcomes[i].drive, outcomes[i].result == 0 ? "PASS" : "FAIL");
        passed += outcomes[i].result == 0;
    }
    std::printf("%d of %zu ports PASS\n", passed, outcomes.size());
    return passed == static_cast<int>(outcomes.size()) ? 0 : 1;
}

int Ti(const cli::Args& args)
{
    const auto disk = args.size() == 3 && args[0] == "--disk" ? cli::ParseInteger(args[1], 1, 255) : std::nullopt;
    if (!disk) return cli::UsageError("usage: pd ti --disk N FILE");
    pd::CTIPDUpdate ti;
    const int result = ti.iTI_PD_FWUpdate(static_cast<int>(*disk), args[2],
                                          [](const std::string& text) { std::printf("%s\n", text.c_str()); });
    std::printf("TI PD update of disk %ld: %s (code %d)\n", *disk, result == 0 ? "PASS" : "FAIL", result);
    return result == 0 ? 0 : 1;
}

int Pd(const cli::Args& args)
{
    if (args.empty()) return cli::UsageError("pd: inspect, info or update expected");
    const cli::Args rest(args.begin() + 1, args.end());
    if (args[0] == "info") return Info(rest);
    if (args[0] == "update") return Update(rest);
    if (args[0] == "ti") return Ti(rest);
    if (args[0] != "inspect") return cli::UsageError("pd: unknown subcommand '" + args[0] + "'");
    if (args.size() != 2) return cli::UsageError("pd inspect: exactly one FILE expected");
    return Inspect(args[1]);
}

}  // namespace

DEVEDA_CLI_COMMAND("pd", Pd, kUsage);
