// devedactl disk: the partition and format steps of a run on one disk of the
// station, for preparing a drive by hand.
#include <cstdio>
#include <string>

#include "cli/CliCommand.h"
#include "cli/CliText.h"
#include "device/BrvtUSBDev.h"
#include "disk/Fat32Format.h"
#include "disk/StationSectorDevice.h"
#include "engine/DiskSteps.h"
#include "platform/Station.h"

namespace {

struct DiskOptions {
    long disk = -1;
    bool gpt = false;
    long fileSystem = disk::kFormatFat32;
    std::string label;
};

// "--disk N", "--gpt", "--fs fat32|ntfs|exfat", "--label L"; false with the usage
// error printed.
bool ParseOptions(const cli::Args& args, bool format, DiskOptions& options, int& exitCode)
{
    const std::string command = "disk " + args[0];
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& option = args[i];
        if (option == "--gpt") {
            options.gpt = true;
            continue;
        }
        const bool known = option == "--disk" || (format && (option == "--fs" || option == "--label"));
        if (!known) return exitCode = cli::UsageError(command + ": unknown option '" + option + "'"), false;
        if (i + 1 >= args.size()) return exitCode = cli::UsageError(command + ": " + option + " needs a value"), false;
        const std::string& value = args[++i];
        if (option == "--disk") {
            const auto number = cli::ParseInteger(value, 0, 255);
            if (!number) return exitCode = cli::UsageError(command + ": bad disk number '" + value + "'"), false;
            options.disk = *number;
        } else if (option == "--fs") {
            if (value == "ntfs") options.fileSystem = disk::kFormatNtfs;
            else if (value == "fat32") options.fileSystem = disk::kFormatFat32;
            else if (value == "exfat") options.fileSystem = disk::kFormatExfat;
            else return exitCode = cli::UsageError(command + ": --fs takes fat32, ntfs or exfat"), false;
        } else {
            options.label = value;
        }
    }
    if (options.disk < 0) return exitCode = cli::UsageError(command + ": --disk N is required"), false;
    // The system disk is refused before anything is asked of the station.
    if (options.disk == 0) {
        std::fprintf(stderr, "devedactl: %s: disk 0 is the system disk and is never touched\n", command.c_str());
        return exitCode = 1, false;
    }
    return true;
}

int Partition(const DiskOptions& options)
{
    platform::IStation& station = platform::Station();
    const auto drive = static_cast<uint8_t>(options.disk);
    disk::CStationSectorDevice device(station, disk::CStationSectorDevice::DiskPath(drive));
    disk::VolumeGeometry geometry;
    if (!device.Open() || !device.GetGeometry(geometry)) {
        std::fprintf(stderr, "devedactl: disk partition: no disk %u on this station\n", drive);
        return 1;
    }
    const char letter = engine::FirstFreeDriveLetter(station);
    disk::CFat32Format format(station);
    if (!format.vCreatePartition(letter, drive, options.gpt ? 1 : 0, geometry.bytesPerSector, 0)) {
        std::fprintf(stderr, "devedactl: disk partition: partitioning disk %u failed (--debug=3 shows why)\n", drive);
        return 1;
    }
    std::printf("disk %u: one %s data partition, partition %d\n", drive, options.gpt ? "GPT" : "MBR",
                options.gpt ? 2 : 1);
    return 0;
}

int Format(const DiskOptions& options)
{
    platform::IStation& station = platform::Station();
    const auto drive = static_cast<uint8_t>(options.disk);
    const char letter = CBrvtUSBDev(station).vGetLogicalAddressFromPhysicalAddress(drive, 0);
    if (letter == kNoDriveLetter) {
        std::fprintf(stderr, "devedactl: disk format: disk %u has no volume (partition it first)\n", drive);
        return 1;
    }
    disk::CFat32Format format(station);
    if (!format.vLowLevelFormatTracks(drive, static_cast<uint8_t>(options.fileSystem), options.gpt ? 1 : 0,
                                      options.label, letter)) {
        std::fprintf(stderr, "devedactl: disk format: formatting %c: on disk %u failed (--debug=3 shows why)\n",
                     letter, drive);
        return 1;
    }
    std::printf("disk %u: volume %c: formatted, label '%s'\n", drive, letter, options.label.c_str());
    return 0;
}

int RunDisk(const cli::Args& args)
{
    if (args.empty() || (args[0] != "partition" && args[0] != "format"))
        return cli::UsageError("disk: expected 'partition' or 'format'");
    const bool format = args[0] == "format";
    DiskOptions options;
    int exitCode = 0;
    if (!ParseOptions(args, format, options, exitCode)) return exitCode;
    return format ? Format(options) : Partition(options);
}

}  // namespace

DEVEDA_CLI_COMMAND("disk", RunDisk,
                   "  disk partition --disk N [--gpt]\n"
                   "                          one data partition on disk N (MBR, or GPT with the data on partition 2)\n"
                   "  disk format --disk N --fs fat32|ntfs|exfat --label L [--gpt]\n"
                   "                          format the volume of disk N and check its file system and label");
