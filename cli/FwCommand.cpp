// devedactl fw: what the firmware checks make of a bridge firmware file.
#include <cstdio>

#include "cli/CliCommand.h"
#include "config/FirmwareCheck.h"

namespace {

constexpr const char* kUsage = "  fw inspect FILE   (exit 0 when the name check passes, 1 when not)";

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

int Fw(const cli::Args& args)
{
    if (args.empty()) return cli::UsageError("fw: inspect expected");
    if (args[0] != "inspect") return cli::UsageError("fw: unknown subcommand '" + args[0] + "'");
    if (args.size() != 2) return cli::UsageError("fw inspect: exactly one FILE expected");
    return Inspect(args[1]);
}

}  // namespace

DEVEDA_CLI_COMMAND("fw", Fw, kUsage);
