// devedactl pd: PD and MCU firmware files and the PD controllers behind the bridges.
#include <cstdio>

#include "cli/CliCommand.h"
#include "pd/PDFirmwareFile.h"

namespace {

constexpr const char* kUsage =
    "  pd inspect FILE   kind, vendor, version, rows or records, and every reason the file is refused\n"
    "                    (exit 0 when the file may be programmed, 1 when not)";

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

int Pd(const cli::Args& args)
{
    if (args.empty()) return cli::UsageError("pd: inspect expected");
    if (args[0] != "inspect") return cli::UsageError("pd: unknown subcommand '" + args[0] + "'");
    if (args.size() != 2) return cli::UsageError("pd inspect: exactly one FILE expected");
    return Inspect(args[1]);
}

}  // namespace

DEVEDA_CLI_COMMAND("pd", Pd, kUsage);
