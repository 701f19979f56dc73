// devedactl fat32: our FAT32 writer on an image file, for preparing a disk by hand.
#include <cstdio>
#include <string>

#include "cli/CliCommand.h"
#include "cli/CliText.h"
#include "disk/Fat32Format.h"
#include "disk/ImageSectorDevice.h"

namespace {

// An image file has no drive letter; the trace shows this one instead.
constexpr char kImageDriveLetter = '-';

// "IMAGE" or "IMAGE@OFFSET", OFFSET in bytes with an optional K, M or G (binary) suffix.
bool ParseImage(const std::string& text, std::string& path, uint64_t& offset)
{
    const size_t at = text.rfind('@');
    path = text.substr(0, at);
    offset = 0;
    if (at == std::string::npos) return !path.empty();
    std::string number = text.substr(at + 1);
    unsigned shift = 0;
    if (!number.empty()) {
        switch (number.back()) {
        case 'K': case 'k': shift = 10; break;
        case 'M': case 'm': shift = 20; break;
        case 'G': case 'g': shift = 30; break;
        default: break;
        }
        if (shift != 0) number.pop_back();
    }
    const auto value = cli::ParseInteger(number, 0, (1L << 50) - 1);
    if (!value || path.empty()) return false;
    offset = static_cast<uint64_t>(*value) << shift;
    return true;
}

int RunFat32(const cli::Args& args)
{
    if (args.size() < 2 || args[0] != "format") return cli::UsageError("fat32: expected 'format IMAGE[@OFFSET]'");
    std::string path;
    uint64_t offset = 0;
    if (!ParseImage(args[1], path, offset)) return cli::UsageError("fat32 format: bad image '" + args[1] + "'");
    long cluster = 0;
    long sectorSize = 512;
    std::string label;
    for (size_t i = 2; i < args.size(); i += 2) {
        if (i + 1 >= args.size()) return cli::UsageError("fat32 format: " + args[i] + " needs a value");
        const std::string& value = args[i + 1];
        if (args[i] == "--cluster") {
            const auto parsed = cli::ParseInteger(value, 0, 255);
            if (!parsed) return cli::UsageError("fat32 format: --cluster takes sectors per cluster");
            cluster = *parsed;
        } else if (args[i] == "--label") {
            label = value;
        } else if (args[i] == "--sector-size") {
            const auto parsed = cli::ParseInteger(value, 512, 4096);
            if (!parsed || (*parsed != 512 && *parsed != 4096))
                return cli::UsageError("fat32 format: --sector-size takes 512 or 4096");
            sectorSize = *parsed;
        } else {
            return cli::UsageError("fat32 format: unknown option '" + args[i] + "'");
        }
    }
    disk::CImageSectorDevice volume(path, offset, 0, static_cast<uint32_t>(sectorSize));
    if (!volume.Open()) {
        std::fprintf(stderr, "devedactl: fat32 format: cannot open %s at offset %llu as %ld-byte sectors\n",
                     path.c_str(), static_cast<unsigned long long>(offset), sectorSize);
        return 1;
    }
    disk::CFat32Format format;
    if (!format.bSetFormatParam(kImageDriveLetter, static_cast<int>(cluster), 0)) {
        std::fprintf(stderr, "devedactl: fat32 format: a cluster of %ld sectors is refused (at most 128)\n", cluster);
        return 1;
    }
    if (!format.bFormatVolume(volume, label)) {
        std::fprintf(stderr, "devedactl: fat32 format: formatting %s failed (--debug=3 shows why)\n", path.c_str());
        return 1;
    }
    const disk::Fat32Layout& layout = format.Layout();
    std::printf("FAT32 on %s at offset %llu: %u sectors of %u bytes, %u sectors per cluster, %u sectors per FAT, "
                "%llu clusters, label '%s'\n",
                path.c_str(), static_cast<unsigned long long>(offset), layout.totalSectors, layout.bytesPerSector,
                layout.sectorsPerCluster, layout.fatSize, static_cast<unsigned long long>(layout.clusterCount),
                label.substr(0, 11).c_str());
    return 0;
}

}  // namespace

DEVEDA_CLI_COMMAND("fat32", RunFat32,
                   "  fat32 format IMAGE[@OFFSET] [--cluster N] [--label L] [--sector-size 512|4096]\n"
                   "                          lay our FAT32 file system onto an image file (OFFSET in bytes, K/M/G)");
