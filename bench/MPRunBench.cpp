// A 16-bridge MP run on the emulated station at real time: the run's wall time,
// the waits the run's rules impose on its critical path (its floor), their
// ratio, the CPU time the tool spent and the probes each relink took. With
// --time-scale N the station's clock runs N times faster (the floor shrinks by N).
// Usage: mp_run_bench [--bridges N] [--reload] [--time-scale N]
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include <unistd.h>

#include "bench/QuietObserver.h"
#include "config/IniSettings.h"
#include "emu/Bridge.h"
#include "engine/MPEngine.h"
#include "log/DebugLog.h"
#include "platform/emu/EmuStation.h"
#include "util/Clock.h"
#include "util/USBUtility.h"

namespace {

double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Waits the rules put on the critical path. Per bridge, in parallel: the pause
// after each of the two segments written (2 x 1 s), the SPI settle before the
// read-back (1 s) and the two segment pauses of the read-back (2 x 1 s), the
// pause before the configuration read-back (0.5 s). After the workers: the
// evaluation pause (1 s). The supervisor's 0.5 s poll is not counted: it sees
// the workers' end at some point of its period, after no wait at best.
//
// With reload, the resets are serialised under the reload lock. Per bridge the
// bridge is away from the reset command on (its away time), while the pause
// after the reset runs from the same command: the longer of the two counts.
// Then one probe (its 0.3 s pause) finds it and the 0.5 s settle follows. The
// link-state pause (0.5 s) is taken outside the lock, so only the last
// bridge's is on the critical path, as are the 0.5 s pause after the relink
// and the barrier's 1 s.
double ImposedSeconds(int bridges, bool reload)
{
    double imposed = 2 * 1.0 + 1.0 + 2 * 1.0 + 0.5 + 1.0;
    if (!reload) return imposed;
    constexpr double kResetPauseS = 1.5, kProbePauseS = 0.3, kSettleS = 0.5, kLinkPauseS = 0.5;
    const double away = std::max(kResetPauseS, emu::kDefaultReturnDelayMs / 1000.0);
    return imposed + bridges * (away + kProbePauseS + kSettleS) + kLinkPauseS + 0.5 + 1.0;
}

}  // namespace

int main(int argc, char** argv)
{
    int bridges = 16;
    bool reload = false;
    long timeScale = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--reload") == 0) reload = true;
        else if (std::strcmp(argv[i], "--time-scale") == 0 && i + 1 < argc)
            timeScale = std::clamp<long>(std::atol(argv[++i]), 1, emu::kMaxTimeScale);
        else if (std::strcmp(argv[i], "--bridges") == 0 && i + 1 < argc) bridges = std::atoi(argv[++i]);
    }
    const auto folder = std::filesystem::temp_directory_path() / ("deveda_bench_" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    CUSBUtility::Instance().SetProgramFolder(folder.string());
    platform::EmuStation station(folder / "station");
    station.World().Init(bridges);
    if (timeScale > 1) {
        // The station's clock, as every process that opens the station would run on it.
        station.World().SetTimeScale(timeScale, util::RealClock().NowMs());
        util::SetClock(platform::EmulatedStationClock(station.World().Folder()));
    }
    constexpr uint32_t kImageSize = 0x11000;  // two segments, as production images are
    const std::string firmware = (folder / "BR_USB4_25_0115_00_0207.bin").string();
    const auto image = emu::MakeFirmwareImage({0x25, 0x01, 0x15, 0x00, 0x02, 0x07}, kImageSize, 0x5A, emu::StandardKey(), 1);
    emu::WriteBlob(firmware, std::string(image.begin(), image.end()));

    bench::QuietObserver observer;
    engine::CMPEngine mp(observer, station);
    IniSettings settings = DefaultIniSettings();
    settings.fw_enable = 1;
    settings.fw_reload = reload ? 1 : 0;
    settings.USB4_U4Mode = 1;
    SetIniString(settings.fw_binary_name, firmware);
    mp.SetSettings(settings);
    mp.TriggerScanThread();
    mp.WaitUntilIdle();

    const double cpuStart = CpuSeconds();
    const int probesBefore = mp.Snapshot()->relinkProbes;
    const auto start = std::chrono::steady_clock::now();
    if (mp.OnBnClickedButtonStart(settings.serial_number).get().outcome != engine::StartOutcome::kStarted) {
        std::fprintf(stderr, "the run did not start\n");
        return 1;
    }
    mp.WaitUntilIdle();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = CpuSeconds() - cpuStart;
    const int probes = mp.Snapshot()->relinkProbes - probesBefore;
    const int relinks = mp.Snapshot()->resetCount;

    const double imposed = ImposedSeconds(bridges, reload) / static_cast<double>(timeScale);
    const auto state = mp.Snapshot();
    if (timeScale > 1) std::printf("station clock: %ld times real time\n", timeScale);
    std::printf("bridges %d%s: %s, %u pass, %u fail\n", bridges, reload ? " (with reload)" : "",
                state->runResult == 1 ? "PASS" : "FAIL", state->table.passCount, state->table.failCount);
    std::printf("%10s %10s %8s %10s %16s\n", "wall s", "floor s", "ratio", "CPU s", "probes/relink");
    std::printf("%10.2f %10.2f %8.2f %10.2f %16.2f\n", wall, imposed, wall / imposed, cpu,
                relinks > 0 ? static_cast<double>(probes) / relinks : 0.0);
    std::filesystem::remove_all(folder);
    return state->runResult == 1 ? 0 : 1;
}
