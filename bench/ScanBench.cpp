// The engine's device scan on emulated stations of 1, 4 and 16 bridges, each
// with a USB stick and a SATA disk as decoys, at real time: per station the
// scan's wall time (median of three), the waits the rules impose on it, and
// their ratio. Usage: scan_bench [--rounds N]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

#include "bench/QuietObserver.h"
#include "device/BrvtUSBDev.h"
#include "engine/MPEngine.h"
#include "platform/emu/EmuStation.h"
#include "util/USBUtility.h"

namespace {

// A scan reads each SuperSpeed bridge's link twice with a pause between; the
// pause is imposed once, whatever the number of bridges.
constexpr double kImposedScanWaitS = kLinkReadPauseMs / 1000.0;

double ScanSeconds(const std::filesystem::path& folder, int bridges, int rounds)
{
    platform::EmuStation station(folder);
    station.World().Init(bridges);
    station.ModifyWorld([](emu::World& world) {
        const int stick = world.TakeDiskNumber();
        const int sata = world.TakeDiskNumber();
        const auto port = world.FreeRootPort();
        return port && world.AddDecoy({0, "stick", stick, *port, "STICK0001"}) &&
               world.AddDecoy({0, "sata", sata, {}, "SATA0001"});
    });
    bench::QuietObserver observer;
    engine::CMPEngine mp(observer, station);
    std::vector<double> times;
    for (int round = 0; round < rounds; ++round) {
        const auto start = std::chrono::steady_clock::now();
        mp.TriggerScanThread();
        mp.WaitUntilIdle();
        times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        if (static_cast<int>(mp.Snapshot()->devices.DevNums) != bridges)
            std::fprintf(stderr, "the scan of %d bridges found %u\n", bridges, mp.Snapshot()->devices.DevNums);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv)
{
    int rounds = 3;
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) rounds = std::max(1, std::atoi(argv[++i]));
    const auto folder = std::filesystem::temp_directory_path() / ("deveda_scan_bench_" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    CUSBUtility::Instance().SetProgramFolder(folder.string());
    std::printf("%-8s %10s %10s %8s\n", "bridges", "wall s", "floor s", "ratio");
    for (int bridges : {1, 4, 16}) {
        const double wall = ScanSeconds(folder / ("station" + std::to_string(bridges)), bridges, rounds);
        std::printf("%-8d %10.2f %10.2f %8.2f\n", bridges, wall, kImposedScanWaitS, wall / kImposedScanWaitS);
    }
    std::filesystem::remove_all(folder);
    return 0;
}
