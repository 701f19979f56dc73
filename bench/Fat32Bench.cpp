// Our FAT32 writer against mkfs.fat -F 32 on the same 1 TiB sparse image: wall
// time and the bytes the image actually received (its allocated blocks), side by
// side, with the ratios; both are timed until the image is on the disk. Both use
// the cluster size the partition step picks for the disk size.
// Usage: fat32_bench [--size-gib N] [--folder DIR]
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "disk/Fat32Format.h"
#include "disk/ImageSectorDevice.h"

namespace {

namespace fs = std::filesystem;
constexpr uint64_t GiB = uint64_t{1} << 30;

struct Figures {
    double seconds = 0;
    uint64_t allocated = 0;
    bool ok = false;
};

void MakeSparse(const fs::path& path, uint64_t size)
{
    fs::remove(path);
    { std::ofstream create(path); }
    fs::resize_file(path, size);
}

// Bytes the file system holds for the image: what the formatter really wrote.
uint64_t AllocatedBytes(const fs::path& path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? static_cast<uint64_t>(info.st_blocks) * 512 : 0;
}

// Puts the image's written blocks on the disk, as mkfs.fat does before it ends,
// so both sides are timed up to the same point.
bool SyncFile(const fs::path& path)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

template <typename Work>
Figures Measure(const fs::path& image, uint64_t size, Work work)
{
    MakeSparse(image, size);
    Figures figures;
    const auto start = std::chrono::steady_clock::now();
    figures.ok = work();
    figures.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    figures.allocated = AllocatedBytes(image);
    fs::remove(image);
    return figures;
}

}  // namespace

int main(int argc, char** argv)
{
    uint64_t sizeGiB = 1024;
    fs::path folder = fs::temp_directory_path();
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--size-gib") == 0) sizeGiB = std::strtoull(argv[i + 1], nullptr, 10);
        else if (std::strcmp(argv[i], "--folder") == 0) folder = argv[i + 1];
    }
    const uint64_t size = sizeGiB * GiB;
    const int cluster = disk::Fat32ClusterSizeForDisk(static_cast<int64_t>(size >> 20));
    const fs::path image = folder / "fat32_bench.img";

    const Figures ours = Measure(image, size, [&] {
        disk::CImageSectorDevice volume(image.string(), 0, 0, 512);
        disk::CFat32Format format;
        return volume.Open() && format.bSetFormatParam('E', cluster, 0) && format.bFormatVolume(volume, "DEVEDA") &&
               SyncFile(image);
    });
    const std::string mkfs =
        "mkfs.fat -F 32 -s " + std::to_string(cluster) + " -n DEVEDA " + image.string() + " >/dev/null 2>&1";
    const Figures theirs = Measure(image, size, [&] { return std::system(mkfs.c_str()) == 0; });

    std::printf("image                %llu GiB sparse, 512-byte sectors, %d sectors per cluster\n",
                static_cast<unsigned long long>(sizeGiB), cluster);
    std::printf("%-20s %12s %12s\n", "", "CFat32Format", "mkfs.fat");
    std::printf("%-20s %12s %12s\n", "result", ours.ok ? "ok" : "FAILED", theirs.ok ? "ok" : "FAILED");
    std::printf("%-20s %12.3f %12.3f\n", "wall time (s)", ours.seconds, theirs.seconds);
    std::printf("%-20s %12.1f %12.1f\n", "bytes written (MiB)", static_cast<double>(ours.allocated) / (1 << 20),
                static_cast<double>(theirs.allocated) / (1 << 20));
    if (theirs.seconds > 0 && theirs.allocated > 0)
        std::printf("ours / mkfs.fat      wall time %.2f, bytes written %.2f\n", ours.seconds / theirs.seconds,
                    static_cast<double>(ours.allocated) / static_cast<double>(theirs.allocated));
    return ours.ok && theirs.ok ? 0 : 1;
}
