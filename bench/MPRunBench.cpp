// A 16-bridge MP run on the emulated station at real time: the run's wall time,
// the waits the run's rules impose on its critical path, their ratio, and the
// CPU time the tool spent. Usage: mp_run_bench [--bridges N] [--reload]
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "config/IniSettings.h"
#include "emu/Bridge.h"
#include "engine/MPEngine.h"
#include "log/DebugLog.h"
#include "platform/emu/EmuStation.h"
#include "util/USBUtility.h"

namespace {

class QuietObserver final : public engine::RunObserver {
public:
    void OnCellChanged(int, int, const std::string&, int, engine::CellColours) override {}
    void OnProgressPosition(int) override {}
    void OnProgressBarColour(engine::Rgb) override {}
    void OnProgressText(const std::string&) override {}
    void OnResultIndicators(bool, bool) override {}
    void OnCountersChanged(uint32_t, uint32_t, uint32_t) override {}
    void OnControlsEnabled(engine::ControlSet) override {}
    void OnStartEnabled(bool) override {}
    int OnOperatorMessage(const std::string& text, int) override
    {
        std::fprintf(stderr, "message: %s\n", text.c_str());
        return 0;
    }
    void OnExitRequest(int) override {}
};

double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv)
{
    int bridges = 16;
    bool reload = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--reload") == 0) reload = true;
        else if (std::strcmp(argv[i], "--bridges") == 0 && i + 1 < argc) bridges = std::atoi(argv[++i]);
    }
    const auto folder = std::filesystem::temp_directory_path() / ("deveda_bench_" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    CUSBUtility::Instance().SetProgramFolder(folder.string());
    platform::EmuStation station(folder / "station");
    station.World().Init(bridges);
    constexpr uint32_t kImageSize = 0x11000;  // two segments, as production images are
    const std::string firmware = (folder / "BR_USB4_25_0115_00_0207.bin").string();
    const auto image = emu::MakeFirmwareImage({0x25, 0x01, 0x15, 0x00, 0x02, 0x07}, kImageSize, 0x5A, emu::StandardKey(), 1);
    emu::WriteBlob(firmware, std::string(image.begin(), image.end()));

    QuietObserver observer;
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
    const auto start = std::chrono::steady_clock::now();
    if (mp.OnBnClickedButtonStart(settings.serial_number).get().outcome != engine::StartOutcome::kStarted) {
        std::fprintf(stderr, "the run did not start\n");
        return 1;
    }
    mp.WaitUntilIdle();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = CpuSeconds() - cpuStart;

    // Waits the rules put on the critical path. Per bridge, in parallel: the
    // pause after each of the two segments written (2 x 1 s), the SPI settle
    // before the read-back (1 s) and the two segment pauses of the read-back
    // (2 x 1 s), the pause before the configuration read-back (0.5 s). After
    // the workers: the evaluation pause (1 s), and the supervisor's 0.5 s poll.
    // With reload, the resets are serialised under the reload lock: per bridge
    // the 1.5 s pause after the reset, the bridge's 2 s away, the 0.5 s settle,
    // then the 0.5 s pause after the relink and the barrier's 1 s.
    double imposed = 2 * 1.0 + 1.0 + 2 * 1.0 + 0.5 + 1.0 + 0.5;
    if (reload) imposed += bridges * (1.5 + emu::kDefaultReturnDelayMs / 1000.0 + 0.5) + 0.5 + 1.0;
    std::printf("bridges              %d%s\n", bridges, reload ? " (with reload)" : "");
    const auto state = mp.Snapshot();
    std::printf("result               %s, %u pass, %u fail\n", state->runResult == 1 ? "PASS" : "FAIL",
                state->table.passCount, state->table.failCount);
    std::printf("wall time            %.2f s\n", wall);
    std::printf("imposed waits        %.2f s on the critical path\n", imposed);
    std::printf("wall / imposed       %.2f\n", wall / imposed);
    std::printf("tool CPU time        %.2f s\n", cpu);
    std::filesystem::remove_all(folder);
    return state->runResult == 1 ? 0 : 1;
}
