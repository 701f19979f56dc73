// devedactl fw: what the firmware checks make of a bridge firmware file.
#include <cerrno>
#include <cstdio>
#include <optional>
#include <vector>

#include "cli/CliCommand.h"
#include "cli/CliText.h"
#include "cli/DeviceLookup.h"
#include "config/FirmwareCheck.h"

namespace {

constexpr const char* kUsage =
    "  fw inspect FILE [--json]   (exit 0 when the name check passes, 1 when not)\n"
    "  fw write --disk N --image 0|1 FILE [--verify]   write a firmware image into the bridge on disk N";

// What the checks make of a firmware file; printed as text or as JSON.
struct Inspection {
    size_t size = 0;
    std::string fromName;
    std::optional<std::string> fromImage;
    uint8_t signature = 0;
    std::string meaning;
    std::optional<std::string> bcd;
    bool pass = false;
};

Inspection InspectFile(const std::string& file, const std::vector<uint8_t>& image)
{
    Inspection in;
    in.size = image.size();
    in.fromName = strFWVersionFromFileName(file);
    in.fromImage = strFWVersionFromImage(image);
    in.signature = uGet7951FWSignatureFromeBin(file);
    in.meaning = "matches no chip revision";
    for (unsigned rev = 0; rev < 8; ++rev) {
        const auto row = FWSignatureForRevision(rev);
        if (in.signature == row->ucCheckSum) in.meaning = "checksum image, chip major revision " + std::to_string(rev);
        if (in.signature == row->ucCRC32) in.meaning = "CRC32 image, chip major revision " + std::to_string(rev);
    }
    if (image.size() < kFWSignatureFromEnd) in.meaning = "image shorter than 6 bytes";
    in.bcd = strBcdRevisionFromFWFile(file);
    in.pass = bCheckFWFile(file);
    return in;
}

std::string InspectionJson(const std::string& file, const Inspection& in)
{
    cli::JsonObject o;
    o.Text("file", file).Number("size", static_cast<long long>(in.size));
    if (in.fromName.empty()) o.Null("versionFromName");
    else o.Text("versionFromName", in.fromName);
    if (in.fromImage) o.Text("versionFromImage", *in.fromImage);
    else o.Null("versionFromImage");
    o.Number("signature", in.signature).Text("signatureMeaning", in.meaning);
    if (in.bcd) o.Text("usb4BcdRevision", *in.bcd);
    else o.Null("usb4BcdRevision");
    o.Bool("nameCheck", in.pass);
    return o.Json();
}

int Inspect(const std::string& file, bool json)
{
    const auto image = ReadWholeFile(file);
    if (!image) {
        std::fprintf(stderr, "devedactl: cannot read %s: %s\n", file.c_str(), cli::SystemErrorText(errno).c_str());
        return 1;
    }
    const Inspection in = InspectFile(file, *image);
    if (json) {
        std::printf("%s\n", InspectionJson(file, in).c_str());
        return in.pass ? 0 : 1;
    }
    std::printf("file                %s (%zu bytes)\n", file.c_str(), in.size);
    std::printf("version from name   %s\n", in.fromName.empty() ? "(none)" : in.fromName.c_str());
    std::printf("version from image  %s\n", in.fromImage ? in.fromImage->c_str() : "(image shorter than 0x20A bytes)");
    std::printf("signature byte      0x%02X (%s)\n", in.signature, in.meaning.c_str());
    std::printf("USB4 BCD revision   %s\n", in.bcd ? in.bcd->c_str() : "(no date in the name)");
    std::printf("name check          %s\n", in.pass ? "PASS" : "FAIL");
    return in.pass ? 0 : 1;
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
    const bool json = args.size() == 3 && (args[1] == "--json" || args[2] == "--json");
    if (args.size() != 2 && !json) return cli::UsageError("fw inspect: exactly one FILE expected (and --json)");
    return Inspect(args[1] == "--json" && json ? args[2] : args[1], json);
}

}  // namespace

DEVEDA_CLI_COMMAND("fw", Fw, kUsage);
