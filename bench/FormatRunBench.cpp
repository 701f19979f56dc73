// The partition-and-format step of a 16-bridge MP run on an emulated station, and
// our FAT32 writer against mkfs.fat on the same 16 partitions, side by side.
//   1. One MP run per file system (FAT32 by our writer, NTFS and exFAT by the
//      system's tools) with only the partition-and-format step on: wall time
//      against the waits the rules impose on the critical path.
//   2. The 16 FAT32 partitions the first run made, formatted again one after the
//      other by CFat32Format and by mkfs.fat -F 32 (same offset, size and cluster
//      size): wall time and bytes the images received.
// Usage: format_run_bench [--bridges N] [--disk-gib N]
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/QuietObserver.h"
#include "config/IniSettings.h"
#include "disk/Fat32Format.h"
#include "disk/ImageSectorDevice.h"
#include "emu/NvmeDisk.h"
#include "engine/MPEngine.h"
#include "platform/emu/EmuStation.h"
#include "util/USBUtility.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

uint64_t AllocatedBytes(const fs::path& path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? static_cast<uint64_t>(info.st_blocks) * 512 : 0;
}

bool SyncFile(const fs::path& path)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

struct RunFigures {
    bool passed = false;
    double seconds = 0;
};

// One MP run with only the partition-and-format step on.
RunFigures Run(platform::EmuStation& station, uint8_t formatType, uint8_t gpt)
{
    bench::QuietObserver observer;
    engine::CMPEngine mp(observer, station);
    IniSettings settings = DefaultIniSettings();
    settings.fw_enable = 0;
    settings.fw_reload = 0;
    settings.format_enable = 1;
    settings.format_drive_type = formatType;
    settings.partition_drive_type = gpt;
    SetIniString(settings.drive_label_name, "SHIPPED");
    mp.SetSettings(settings);
    mp.TriggerScanThread();
    mp.WaitUntilIdle();
    const auto start = Clock::now();
    if (mp.OnBnClickedButtonStart(settings.serial_number).get().outcome != engine::StartOutcome::kStarted)
        return {};
    mp.WaitUntilIdle();
    return {mp.Snapshot()->runResult == 1, Since(start)};
}

struct FormatFigures {
    bool ok = true;
    int volumes = 0;
    double seconds = 0;
    uint64_t written = 0;
};

// Empties the byte range (a hole reads as zeros), so that the blocks the image
// gains afterwards are what the next formatter wrote.
bool PunchRange(const fs::path& image, uint64_t offset, uint64_t length)
{
    const int fd = ::open(image.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    const bool punched = ::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                                     static_cast<off_t>(length)) == 0;
    ::close(fd);
    return punched;
}

// Formats the volume of every bridge with `format` (image, offset, length) on an
// emptied partition, one after the other, each image on the disk before the
// next starts.
template <typename Format>
FormatFigures FormatAll(platform::EmuStation& station, Format format)
{
    FormatFigures figures;
    for (const auto& volume : station.EmuVolumes()) {
        if (!volume.bridgeId) continue;
        ++figures.volumes;
        const fs::path image = emu::NvmeDisk(station.World().BridgeFolder(*volume.bridgeId)).ImagePath();
        if (!PunchRange(image, volume.offset, volume.length)) figures.ok = false;
        const uint64_t before = AllocatedBytes(image);
        const auto start = Clock::now();
        figures.ok = format(image, volume.offset, volume.length) && SyncFile(image) && figures.ok;
        figures.seconds += Since(start);
        figures.written += AllocatedBytes(image) - std::min(before, AllocatedBytes(image));
    }
    return figures;
}

}  // namespace

int main(int argc, char** argv)
{
    int bridges = 16;
    int64_t diskGiB = 64;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--bridges") == 0) bridges = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--disk-gib") == 0) diskGiB = std::atoll(argv[i + 1]);
    }
    const auto folder = fs::temp_directory_path() / ("deveda_format_bench_" + std::to_string(::getpid()));
    fs::create_directories(folder);
    fs::current_path(folder);  // the partitioning scripts are written here
    CUSBUtility::Instance().SetProgramFolder(folder.string());
    platform::EmuStation station(folder / "station");
    station.World().Init(bridges);
    for (int id = 1; id <= bridges; ++id)
        station.ModifyBridge(id, [&](emu::Bridge& b) { b.Set("disk_size_mib", std::to_string(diskGiB * 1024)); });

    // Per bridge, serialised under the partition lock: the 1.5 s pause after the
    // partitioning tool. Then the barrier's last 100 ms poll, and after the
    // workers the evaluation pause (1 s) and the supervisor's 0.5 s poll.
    const double imposed = bridges * 1.5 + 0.1 + 1.0 + 0.5;
    struct Row {
        const char* name;
        uint8_t type, gpt;
    };
    std::printf("bridges              %d, %lld GiB sparse disks\n", bridges, static_cast<long long>(diskGiB));
    std::printf("%-24s %8s %10s %12s %14s\n", "MP run, step 6 only", "result", "wall (s)", "imposed (s)",
                "wall / imposed");
    bool allPassed = true;
    for (const Row& row : {Row{"FAT32 (ours), MBR", disk::kFormatFat32, 0}, Row{"NTFS (mkfs.ntfs), MBR", disk::kFormatNtfs, 0},
                           Row{"exFAT (mkfs.exfat), GPT", disk::kFormatExfat, 1}}) {
        const RunFigures run = Run(station, row.type, row.gpt);
        allPassed = allPassed && run.passed;
        std::printf("%-24s %8s %10.2f %12.2f %14.2f\n", row.name, run.passed ? "PASS" : "FAIL", run.seconds, imposed,
                    run.seconds / imposed);
    }

    // The FAT32 partitions again (MBR, partition 1), for the side-by-side format.
    const RunFigures fat32 = Run(station, disk::kFormatFat32, 0);
    const int cluster = disk::SectorsPerClusterForDiskMiB(diskGiB * 1024);
    FormatFigures ours = FormatAll(station, [&](const fs::path& image, uint64_t offset, uint64_t length) {
        disk::CImageSectorDevice volume(image.string(), offset, length, 512);
        disk::CFat32Format format;
        return volume.Open() && format.bSetFormatParam('E', cluster, 0) && format.bFormatVolume(volume, "SHIPPED");
    });
    FormatFigures theirs = FormatAll(station, [&](const fs::path& image, uint64_t offset, uint64_t length) {
        const std::string command = "mkfs.fat -F 32 -s " + std::to_string(cluster) + " -n SHIPPED --offset " +
                                    std::to_string(offset / 512) + " " + image.string() + " " +
                                    std::to_string(length / 1024) + " >/dev/null 2>&1";
        return std::system(command.c_str()) == 0;
    });
    ours.ok = ours.ok && ours.volumes == bridges;
    theirs.ok = theirs.ok && theirs.volumes == bridges;
    std::printf("\n%-24s %12s %12s\n", "FAT32, all partitions", "CFat32Format", "mkfs.fat");
    std::printf("%-24s %12s %12s\n", "result", ours.ok && fat32.passed ? "ok" : "FAILED", theirs.ok ? "ok" : "FAILED");
    std::printf("%-24s %12.3f %12.3f\n", "wall time (s)", ours.seconds, theirs.seconds);
    std::printf("%-24s %12.1f %12.1f\n", "bytes written (MiB)", static_cast<double>(ours.written) / (1 << 20),
                static_cast<double>(theirs.written) / (1 << 20));
    if (theirs.seconds > 0) std::printf("ours / mkfs.fat          wall time %.2f\n", ours.seconds / theirs.seconds);
    fs::current_path(fs::temp_directory_path());
    fs::remove_all(folder);
    return allPassed && ours.ok && theirs.ok ? 0 : 1;
}
