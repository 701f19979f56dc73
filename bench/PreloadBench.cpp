// The preload copy against mtools' own recursive copy ("mcopy -s", the cp -r of
// a FAT32 image) of the same tree onto the same kind of volume: a fresh FAT32
// volume made by mkfs.fat on an emulated bridge's disk, side by side, with the
// ratio. Then the write/read test's wall time against the test file's size.
// Usage: preload_bench [--mib N] [--folder DIR]   (N: size of the tree, default 256)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "device/host/DiskHost.h"
#include "disk/Preload.h"
#include "disk/WriteReadTest.h"
#include "emu/NvmeDisk.h"
#include "platform/emu/EmuStation.h"

namespace {

namespace fs = std::filesystem;
constexpr uint64_t MiB = uint64_t{1} << 20;
constexpr int kDiskMiB = 2048;
constexpr uint64_t kVolumeStart = 2048 * 512;

double Since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool Run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

// A tree of `mib` MiB: a quarter in one large file (above the 64 MiB chunk when
// the tree is large enough), the rest in 1 MiB files over a few folders, and an
// empty folder.
void MakeTree(const fs::path& root, uint64_t mib)
{
    fs::remove_all(root);
    fs::create_directories(root / "empty");
    std::string block(MiB, '\0');
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 131 + i / 4099);
    std::ofstream big(root / "large.bin", std::ios::binary);
    for (uint64_t i = 0; i < mib / 4; ++i) big.write(block.data(), static_cast<std::streamsize>(block.size()));
    for (uint64_t i = 0; i < mib - mib / 4; ++i) {
        const fs::path folder = root / ("folder" + std::to_string(i % 8));
        fs::create_directories(folder);
        block[0] = static_cast<char>(i);
        std::ofstream(folder / ("file" + std::to_string(i) + ".dat"), std::ios::binary)
            .write(block.data(), static_cast<std::streamsize>(block.size()));
    }
}

// A fresh FAT32 volume at sector 2048 of `image`.
bool MakeVolume(const std::string& image)
{
    fs::remove(image);
    return Run("truncate -s " + std::to_string(kDiskMiB) + "M " + image) &&
           Run("echo 'start=2048, type=c' | sfdisk -q " + image) &&
           Run("mkfs.fat -F 32 --offset 2048 " + image);
}

}  // namespace

int main(int argc, char** argv)
{
    uint64_t mib = 256;
    fs::path folder = fs::temp_directory_path() / "deveda_preload_bench";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--mib") == 0) mib = std::strtoull(argv[i + 1], nullptr, 10);
        else if (std::strcmp(argv[i], "--folder") == 0) folder = argv[i + 1];
    }
    if (mib < 4 || mib > 1500) {
        std::fprintf(stderr, "preload_bench: --mib takes 4 to 1500\n");
        return 2;
    }
    fs::remove_all(folder);
    fs::create_directories(folder);
    const fs::path tree = folder / "tree";
    MakeTree(tree, mib);

    platform::EmuStation station(folder / "station");
    if (!station.World().Init(1)) return 1;
    station.ModifyBridge(1, [](emu::Bridge& b) { b.Set("disk_size_mib", std::to_string(kDiskMiB)); });
    const std::string image = emu::NvmeDisk(station.World().BridgeFolder(1)).ImagePath().string();
    const std::string volume = image + "@@" + std::to_string(kVolumeStart);

    // mtools' recursive copy, timed until the image is on the disk.
    if (!MakeVolume(image)) return 1;
    auto start = std::chrono::steady_clock::now();
    const bool copied = Run("MTOOLS_SKIP_CHECK=1 mcopy -s -i " + volume + " " + tree.string() + "/* ::/") &&
                        Run("sync -f " + image);
    const double mcopySeconds = Since(start);

    // The preload, through the station's files of the bridge's volume.
    if (!MakeVolume(image)) return 1;
    std::string error;
    auto files = device::host::OpenVolumeFiles(station, "D:\\", error);
    if (!files) {
        std::fprintf(stderr, "preload_bench: %s\n", error.c_str());
        return 1;
    }
    start = std::chrono::steady_clock::now();
    disk::CPreloadCopy copy(*files, "D:", nullptr);
    const bool preloaded = copy.Dir_Copy(tree, "", 0) && copy.Flush() && Run("sync -f " + image);
    const double preloadSeconds = Since(start);
    const bool same = Run("rm -rf " + (folder / "out").string() + " && mkdir " + (folder / "out").string() +
                          " && MTOOLS_SKIP_CHECK=1 mcopy -s -n -i " + volume + " '::/*' " + (folder / "out").string() +
                          " && diff -r " + tree.string() + " " + (folder / "out").string());

    std::printf("preload of a %llu MiB tree onto a FAT32 volume of %d MiB\n", static_cast<unsigned long long>(mib),
                kDiskMiB);
    std::printf("  %-28s %8.2f s  %7.1f MiB/s%s\n", "mcopy -s (cp -r of mtools)", mcopySeconds,
                static_cast<double>(mib) / mcopySeconds, copied ? "" : "  FAILED");
    std::printf("  %-28s %8.2f s  %7.1f MiB/s%s%s\n", "preload (Dir_Copy)", preloadSeconds,
                static_cast<double>(mib) / preloadSeconds, preloaded ? "" : "  FAILED",
                same ? "  tree identical" : "  TREE DIFFERS");
    std::printf("  ratio preload / mcopy -s: %.2f\n", preloadSeconds / mcopySeconds);

    std::printf("write/read test, one cycle, wall time against the file size\n");
    for (uint64_t size : {uint64_t{1}, uint64_t{16}, uint64_t{64}, uint64_t{180}}) {
        const fs::path source = folder / "rwtest.bin";
        {
            std::ofstream out(source, std::ios::binary);
            std::string block(MiB, 'r');
            for (uint64_t i = 0; i < size; ++i) out.write(block.data(), static_cast<std::streamsize>(block.size()));
        }
        disk::WrRdTestPlan plan{source.string(), "rwtest.bin", static_cast<uint32_t>(size * MiB), 1, 0, 'D'};
        start = std::chrono::steady_clock::now();
        const bool passed = disk::RunWrRdCycles(*files, plan, nullptr).empty();
        std::printf("  %4llu MiB  %8.2f s%s\n", static_cast<unsigned long long>(size), Since(start),
                    passed ? "" : "  FAILED");
    }
    files.reset();
    fs::remove_all(folder);
    return copied && preloaded && same ? 0 : 1;
}
