// Repeats the engine's hardest moments many times: bridges plugged and unplugged
// while scans and runs go on, and the engine destroyed at a random moment of a
// scan or a run. Meant for the thread sanitizer build; a hang is caught by a
// watchdog, a race by the sanitizer, a broken observer contract by the checks.
//
//   engine_stress [ROUNDS] [SEED]
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include <unistd.h>

#include "config/Ini.h"
#include "emu/Bridge.h"
#include "emu/KeyValueFile.h"
#include "engine/MPEngine.h"
#include "platform/emu/EmuStation.h"
#include "util/Clock.h"
#include "util/USBUtility.h"

namespace {

// Counts calls and checks that they come from one thread, one at a time.
class ContractObserver final : public engine::RunObserver {
public:
    void OnCellChanged(int, int, const std::string&, int, engine::CellColours) override { Call(); }
    void OnProgressPosition(int) override { Call(); }
    void OnProgressBarColour(engine::Rgb) override { Call(); }
    void OnProgressText(const std::string&) override { Call(); }
    void OnResultIndicators(bool, bool) override { Call(); }
    void OnCountersChanged(uint32_t, uint32_t, uint32_t) override { Call(); }
    void OnControlsEnabled(engine::ControlSet) override { Call(); }
    void OnStartEnabled(bool) override { Call(); }
    int OnOperatorMessage(const std::string&, int) override { return Call(), 1; }
    void OnExitRequest(int) override { Call(); }
    bool Broken() const { return m_bBroken || m_Threads.size() > 1; }

private:
    void Call()
    {
        if (m_InFlight.fetch_add(1) != 0) m_bBroken = true;
        {
            std::lock_guard lock(m_Lock);
            m_Threads.insert(std::this_thread::get_id());
        }
        m_InFlight.fetch_sub(1);
    }
    std::atomic<int> m_InFlight{0};
    std::atomic<bool> m_bBroken{false};
    std::mutex m_Lock;
    std::set<std::thread::id> m_Threads;
};

bool Round(platform::EmuStation& station, const IniSettings& settings, std::mt19937& random)
{
    ContractObserver observer;
    std::atomic<bool> stop{false};
    {
        engine::CMPEngine mp(observer, station);
        mp.SetSettings(settings);
        mp.TriggerScanThread();
        std::jthread hotPlug([&station, &stop, seed = random()] {
            std::mt19937 pause(seed);
            // A few plug changes in real time, each heard by the station's watcher.
            for (int i = 0; i < 6 && !stop; ++i) {
                station.SetBridgePlugged(4, i % 2 == 1);
                std::this_thread::sleep_for(std::chrono::milliseconds(pause() % 8));
            }
            station.SetBridgePlugged(4, true);
        });
        const int moment = static_cast<int>(random() % 4);
        if (moment >= 1) mp.WaitUntilIdleFor(20000);
        if (moment >= 2) mp.OnBnClickedButtonStart(settings.serial_number);
        if (moment >= 3) std::this_thread::sleep_for(std::chrono::milliseconds(random() % 20));
        (void)mp.Snapshot();
        stop = true;
    }  // destroyed at the chosen moment: every thread is joined here
    return !observer.Broken();
}

}  // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 300;
    std::mt19937 random(argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 1u);
    util::SetClock(std::make_shared<util::ScaledClock>(1000.0));
    const auto folder = std::filesystem::temp_directory_path() / ("deveda_stress_" + std::to_string(::getpid()));
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    CUSBUtility::Instance().SetProgramFolder(folder.string());
    std::filesystem::current_path(folder);
    platform::EmuStation station(folder / "station");
    station.World().Init(4);
    const std::string firmware = (folder / "BR_USB4_25_0115_00_0207.bin").string();
    const auto image = emu::MakeFirmwareImage({0x25, 0x01, 0x15, 0x00, 0x02, 0x07}, 0x11000, 0x5A, emu::StandardKey(), 7);
    emu::WriteBlob(firmware, std::string(image.begin(), image.end()));
    IniSettings settings = DefaultIniSettings();
    settings.fw_enable = 1;
    settings.fw_reload = 1;
    settings.USB4_U4Mode = 1;
    settings.check_config = 0;
    SetIniString(settings.fw_binary_name, firmware);

    // A round that hangs stops the program with a message instead of blocking CI.
    std::atomic<int> finished{0};
    std::jthread watchdog([&](std::stop_token stopToken) {
        int last = -1;
        while (!stopToken.stop_requested()) {
            for (int i = 0; i < 600 && !stopToken.stop_requested(); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (stopToken.stop_requested()) return;
            if (finished == last) {
                std::fprintf(stderr, "engine_stress: round %d has not ended in 60 s\n", last + 1);
                std::_Exit(2);
            }
            last = finished;
        }
    });
    int broken = 0;
    for (int round = 0; round < rounds; ++round) {
        if (!Round(station, settings, random)) {
            ++broken;
            std::fprintf(stderr, "engine_stress: round %d broke the observer contract\n", round);
        }
        ++finished;
    }
    watchdog.request_stop();
    std::filesystem::current_path(std::filesystem::temp_directory_path());
    std::filesystem::remove_all(folder);
    std::printf("engine_stress: %d rounds, %d broken\n", rounds, broken);
    return broken == 0 ? 0 : 1;
}
