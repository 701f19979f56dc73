// The actions of the command line, run by the engine thread after a scan that
// found devices: firmware check, MP run, USB4 identity export, power configuration.
#include "config/U4ConfigTable.h"
#include "device/BrvtUSBDev.h"
#include "engine/MPEngine.h"
#include "log/DebugLog.h"
#include "util/Text.h"

namespace engine {

namespace {
// The power configuration's file, in the current folder.
constexpr const char* kPowerConfigFile = "PowerConfiguration.bin";
}  // namespace

void CMPEngine::vCmdLineHandler()
{
    if (m_ExitCode) return;
    DBG_MSG("%s:%d: cmd idx:%i", m_CommandLine.CommandIndex);
    const uint32_t count = m_DevList.DevNums + static_cast<uint32_t>(std::max(m_iPcieCount, 0));
    switch (m_CommandLine.CommandIndex) {
    case kCmdCheckFirmware:
        for (uint32_t i = 0; i < count && i < MAX_DEVICES; ++i)
            if (!util::EqualNoCase(m_DevList.Devs[i].m_strFWVersion, m_CommandLine.CheckedFirmware)) {
                DBG_MSG("%s:%d: FW unmatch");
                return Exit(kExitFirmwareMismatch);
            }
        return Exit(kExitPass);
    case kCmdStart: {
        std::promise<StartResult> done;
        HandleStart(m_Settings.serial_number, done);
        return;
    }
    case kCmdUSB4Export: {
        std::vector<U4ConfigTable> blocks;
        for (uint32_t i = 0; i < count && i < MAX_DEVICES; ++i) {
            U4ConfigTable block;
            std::copy(m_DevList.Devs[i].U4ConfigImage.begin(), m_DevList.Devs[i].U4ConfigImage.end(), block.begin());
            blocks.push_back(block);
        }
        return Exit(bExportU4Data(blocks, LocalDateNow()) ? kExitPass : -1);
    }
    case kCmdPowerConfig: {
        DBG_MSG("%s:%d: pwr config num:%i", count);
        // The file is judged once, before any bridge is written.
        std::array<uint8_t, kPowerConfigSize> block{};
        std::string error;
        if (!bReadPowerConfigFile(kPowerConfigFile, block, error)) return Exit(-1, error);
        for (uint32_t i = 0; i < count && i < MAX_DEVICES; ++i) {
            const int result = m_Dev.vFactoryConfigure_PowerConfigWrite(static_cast<uint8_t>(i), kPowerConfigFile);
            if (result != 0) {
                DBG_ERR("%s:%d: power config write fail[%d]", i);
                return Exit(result, "the power configuration write to port " + std::to_string(i) + " failed (result " +
                                        std::to_string(result) + ")");
            }
        }
        return Exit(kExitPass);
    }
    default: return;
    }
}

}  // namespace engine
