// devedactl fw: what the firmware checks make of a bridge firmware file.
#include <cstdio>

#include "cli/CliCommand.h"
#include "cli/CliText.h"
#include "cli/DeviceLookup.h"
#include "config/FirmwareCheck.h"

namespace {

constexpr const char* kUsage =
    "  fw inspect FILE   (exit 0 when the name check passes, 1 when not)\n"
    "  fw write --disk N --image 0|1 FILE [--verify]   write a firmware image into the bridge on disk N";

int Inspect(const std::string& file)
{
    const auto image = ReadWholeFile(file);
    if (!image) {
        std::fprintf(stderr, "devedactl: cannot read %s\n", file.c_str());
        return 1;
    }
    const std::string fromName = strFWVersionFromFileName(file);
    const auto fromImage = strFWVersionFromImage(*image);
    std::printf("file                %s (%zu bytes)\n", file.c_str(), image->size());
    std::printf("version from name   %s\n", fromName.empty() ? "(none)" : fromName.c_str());
    std::printf("version from image  %s\n", fromImage ? fromImage->c_str() : "(image shorter than 0x20A bytes)");

    const uint8_t signature = uGet7951FWSignatureFromeBin(file);
    std::string meaning = "matches no chip revision";
    for (unsigned rev = 0; rev < 8; ++rev) {
        const auto row = FWSignatureForRevision(rev);
        if (signature == row->ucCheckSum) meaning = "checksum image, chip major revision " + std::to_string(rev);
        if (signature == row->ucCRC32) meaning = "CRC32 image, chip major revision " + std::to_string(rev);
    }
    if (image->size() < kFWSignatureFromEnd) meaning = "image shorter than 6 bytes";
    std::printf("signature byte      0x%02X (%s)\n", signature, meaning.c_str());
    const auto bcd = strBcdRevisionFromFWFile(file);
    std::printf("USB4 BCD revision   %s\n", bcd ? bcd->c_str() : "(no date in the name)");

    const bool pass = bCheckFWFile(file);
    std::printf("name check          %s\n", pass ? "PASS" : "FAIL");
    return pass ? 0 : 1;
}

int Write(const cli::Args& args)
{
    std::optional<long> disk, image;
    std::string file;
    bool verify = false;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--disk" && i + 1 < args.size()) disk = cli::ParseInteger(args[++i], 1, 255);
        else if (args[i] == "--image" && i + 1 < args.size()) image = cli::ParseInteger(args[++i], 0, 1);
        else if (args[i] == "--verify") verify = true;
        else if (file.empty() && args[i].rfind("--", 0) != 0) file = args[i];
        else return cli::UsageError("fw write: unexpected '" + args[i] + "'");
    }
    if (!disk || !image || file.empty()) return cli::UsageError("usage: fw write --disk N --image 0|1 FILE [--verify]");
    CBrvtUSBDev dev;
    DeviceList list;
    const auto target = cli::FindBridgeOnDisk(dev, list, *disk);
    if (!target) return 1;
    const bool ok = dev.v7951UpdateFirmware(*target, static_cast<uint8_t>(*image), verify, file) == 1;
    std::printf("image %ld of the bridge on disk %ld: %s%s\n", *image, *disk, ok ? "written" : "FAILED",
                ok && verify ? " and verified" : "");
    return ok ? 0 : 1;
}

int Fw(const cli::Args& args)
{
    if (args.empty()) return cli::UsageError("fw: inspect or write expected");
    if (args[0] == "write") return Write(cli::Args(args.begin() + 1, args.end()));
    if (args[0] != "inspect") return cli::UsageError("fw: unknown subcommand '" + args[0] + "'");
    if (args.size() != 2) return cli::UsageError("fw inspect: exactly one FILE expected");
    return Inspect(args[1]);
}

}  // namespace

DEVEDA_CLI_COMMAND("fw", Fw, kUsage);
