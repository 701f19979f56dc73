#pragma once
// The fixture of whole MP runs on the emulated station, on a clock 1000 times
// faster than real: a station folder, a firmware image, an engine scanned.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "../common/TestSupport.h"
#include "RecordingObserver.h"
#include "config/Ini.h"
#include "disk/Fat32Format.h"
#include "engine/MPEngine.h"
#include "platform/emu/EmuStation.h"
#include "util/USBUtility.h"

namespace enginetest {

class MPRun : public ::testing::Test {
protected:
    MPRun() : m_Station(m_Folder.Path() / "station") {}

    void SetUp() override
    {
        util::SetClock(std::make_shared<util::ScaledClock>(1000.0));
        CUSBUtility::Instance().SetProgramFolder(m_Folder.Path().string());
        // Operator messages of unattended runs land in the current folder.
        m_OldFolder = std::filesystem::current_path();
        std::filesystem::current_path(m_Folder.Path());
        m_Firmware = (m_Folder.Path() / "BR_USB4_25_0115_00_0207.bin").string();
        const auto image = emu::MakeFirmwareImage({0x25, 0x01, 0x15, 0x00, 0x02, 0x07}, 0x11000, 0x5A,
                                                  emu::StandardKey(), 7);
        emu::WriteBlob(m_Firmware, std::string(image.begin(), image.end()));
    }
    void TearDown() override
    {
        std::filesystem::current_path(m_OldFolder);
        util::SetClock(std::make_shared<util::RealClock>());
    }

    // An engine on the station with firmware update on, scanned.
    std::unique_ptr<engine::CMPEngine> MakeEngine(bool interactive = true)
    {
        auto mp = std::make_unique<engine::CMPEngine>(m_Observer, m_Station);
        IniSettings settings = DefaultIniSettings();
        settings.fw_enable = 1;
        settings.fw_reload = 0;
        SetIniString(settings.fw_binary_name, m_Firmware);
        mp->SetSettings(settings);
        mp->SetInteractive(interactive);
        mp->TriggerScanThread();
        mp->WaitUntilIdle();
        return mp;
    }
    // The disk steps on: MBR and FAT32 labelled "SHIPPED", the write/read test of
    // "rwtest.bin" `cycles` times, the speed test against the given thresholds,
    // and the preload of `preload`.
    static void DiskStepsOn(IniSettings& s, const std::string& preload, uint32_t cycles, bool speed,
                            const char* readSpeed = "0", const char* writeSpeed = "0")
    {
        s.format_enable = 1;
        s.format_drive_type = disk::kFormatFat32;
        s.partition_drive_type = 0;
        SetIniString(s.drive_label_name, "SHIPPED");
        s.wr_test_enable = 1;
        SetIniString(s.wr_test_binary_name, "rwtest.bin");
        s.wr_test_count = cycles;
        s.Speed_test_enable = speed ? 1 : 0;
        SetIniString(s.read_speed, readSpeed);
        SetIniString(s.write_speed, writeSpeed);
        s.preload_enable = 1;
        SetIniString(s.preload_folder_path, preload.c_str());
    }
    // Presses Start with the serial number of the settings and waits for the run.
    engine::StartOutcome Start(engine::CMPEngine& mp)
    {
        const auto outcome = mp.OnBnClickedButtonStart(mp.Snapshot()->settings.serial_number).get().outcome;
        mp.WaitUntilIdle();
        return outcome;
    }
    static engine::ResultCell Cell(engine::CMPEngine& mp, int row, int column)
    {
        return mp.Snapshot()->table.cells[row][column];
    }
    void Fault(int bridge, uint8_t opcode, int count)
    {
        m_Station.ModifyBridge(bridge, [&](emu::Bridge& b) { b.SetFault(opcode, emu::FaultMode::CheckCondition, count); });
    }
    emu::Bridge Bridge(int id) { return emu::Bridge(m_Station.World().BridgeFolder(id)); }
    std::string ResultLog(engine::CMPEngine& mp)
    {
        std::ifstream in(mp.MPResultLogPath(), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }

    testsupport::TempFolder m_Folder;
    platform::EmuStation m_Station;
    enginetest::RecordingObserver m_Observer;
    std::string m_Firmware;
    std::filesystem::path m_OldFolder;
};

}  // namespace enginetest
