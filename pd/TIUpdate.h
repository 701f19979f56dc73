#pragma once
// The TI PD controller update: one 8-byte command, opcode 0xED, per step (byte 1
// the function). The generic command of the bridge carries no data, so this
// channel sends the same block with a data phase: the 64-byte row of function 6
// as data out, the 20-byte answers of functions 1, 2 and 7 as data in.
#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "device/PassThrough.h"

namespace pd {

constexpr uint32_t kTIRowSize = 64;
constexpr uint32_t kTIAnswerSize = 20;
constexpr uint32_t kTISectorSize = 4096;

using TIAnswer = std::array<uint8_t, kTIAnswerSize>;
// The operator's message box before and after each step: (step name, "before"/result text).
using TIOperatorBox = std::function<void(const std::string& text)>;

class CTIPDUpdate {
public:
    explicit CTIPDUpdate(platform::IStation& station = platform::Station()) : m_Transport(station) {}

    int iTI_PD_ReadFWVersion(HANDLE hDev, TIAnswer& answer);
    int iTI_PD_ReadBootFlags(HANDLE hDev, TIAnswer& answer);
    int iTI_PD_FlashLoadReadRegions(HANDLE hDev, uint8_t region);
    int iTI_PD_FlashEraseRegion(HANDLE hDev, uint8_t region, uint8_t sectors);
    int iTI_PD_FlashMemoryWriteStartAddress(HANDLE hDev);
    int iTI_PD_FlashMemoryWrite(HANDLE hDev, uint16_t row, uint16_t rows, const uint8_t* data);
    // 0 when the controller reports the region good (answer byte 0 is 0).
    int iTI_PD_FlashMemoryVerify(HANDLE hDev, uint8_t region);
    int iTI_PD_ResetController(HANDLE hDev);

    // The whole sequence for the bridge on disk `drive`; 0 success. Stops at the
    // first failing step, so a failed erase is never followed by writes.
    int iTI_PD_FWUpdate(int drive, const std::string& binPath, const TIOperatorBox& box);

    std::string m_strVersionBefore;
    std::string m_strVersionAfter;

private:
    int Send(HANDLE hDev, const std::array<uint8_t, 8>& cdb, bool dataIn, uint8_t* data, uint32_t length);
    int WriteRegion(HANDLE hDev, uint8_t region, const std::string& image, uint8_t sectors, const TIOperatorBox& box);

    CPassThrough m_Transport;
};

}  // namespace pd
