// State queries of the 795x bridges: one or two registers turned into the codes
// and texts the device record and the result table show.
#include <cstdio>

#include "device/BrvtUSBDev.h"
#include "device/Registers.h"
#include "log/DebugLog.h"
#include "util/Clock.h"

namespace {
using namespace bridge_reg;
constexpr uint8_t kDevType7951 = 8;
constexpr uint8_t kUnknown = 255;
}  // namespace

const char* U4ModeText(uint8_t u4Mode)
{
    switch (u4Mode) {
    case 0: return "Legacy";
    case 1: return "TBT3";
    case 2: return "PCIE TNL";
    case 3: return "U3 TNL";
    default: return "UNKNOW";
    }
}

const char* U4SpeedText(uint8_t u4Speed)
{
    switch (u4Speed) {
    case 4: return "Gen2x1";
    case 5: return "Gen2x2";
    case 6: return "Gen3x1";
    case 7: return "Gen3x2";
    default: return "UNKNOW";
    }
}

uint8_t ucUsb3SpeedFromStatus(const std::string& status)
{
    const bool x2 = status.find("x2") != std::string::npos;
    if (status.find("FULL") != std::string::npos) return 0;
    if (status.find("HIGH") != std::string::npos) return 1;
    if (status.find("SUPER") != std::string::npos) return x2 ? 3 : 2;
    if (status.find("PLUS") != std::string::npos) return x2 ? 5 : 4;
    return kUnknown;
}

uint8_t CBrvtUSBDev::ucGet7951DeviceType(HANDLE hDev, DeviceInfo& record)
{
    uint8_t inquiry[38];
    CommandResult iResult = SCSI8306_Inquiry(hDev, inquiry, sizeof inquiry);
    if (iResult != kCommandSuccess) {
        DBG_ERR("%s:%d: SCSI8306_Inquiry Faiiled: iResult =%d", iResult);
        return kUnknown;
    }
    char chipId[8];
    std::snprintf(chipId, sizeof chipId, "%02X%02X", inquiry[37], inquiry[36]);
    uint8_t value = 0;
    iResult = SCSI7951_AccessRegister(hDev, kReadFromDevice, kRegVariantRevision, &value, 1);
    if (iResult != kCommandSuccess) {
        DBG_ERR("%s:%d: SCSI7951_AccessRegister Faiiled: iResult =%d", iResult);
        return kUnknown;
    }
    char revision[4];
    std::snprintf(revision, sizeof revision, "%x", value & 0x0F);
    record.m_strChipRevision = revision;
    if (std::string(chipId) != "7951") {
        record.m_ucDevType = kUnknown;
        record.m_strDevTypeName = "Not Defined";
        return kUnknown;
    }
    static const char* const kNames[8] = {"795A", "795B", "795C", "795D", "795E", "795F", "795G", "795H"};
    record.m_ucDevType = kDevType7951;
    record.m_strDevTypeName = kNames[(value >> 4) & 0x07];
    return kDevType7951;
}

uint8_t CBrvtUSBDev::ucGet7951ChipVariant(HANDLE hDev)
{
    uint8_t value = 0;
    if (SCSI7951_AccessRegister(hDev, kReadFromDevice, kRegVariantRevision, &value, 1) != kCommandSuccess)
        return kUnknown;
    return (value >> 4) & 0x07;
}

std::string CBrvtUSBDev::strGet7951ChipType(HANDLE hDev)
{
    uint8_t value = 0;
    if (SCSI7951_AccessRegister(hDev, kReadFromDevice, kRegVariantRevision, &value, 1) != kCommandSuccess) return "0";
    const bool bit6 = value & 0x40, bit5 = value & 0x20, bit4 = value & 0x10;
    std::string text;
    if (bit5 || bit4) text += bit6 ? "1" : "0";
    text += bit5 ? "1" : "0";
    text += bit4 ? "1" : "0";
    if (text == "001" && (value & 0x0F) == 0) text += "_B0";
    return text;
}

uint8_t CBrvtUSBDev::ucGet7951USBMode(HANDLE hDev, uint8_t devType)
{
    uint8_t value = 0;
    const CommandResult iResult = SCSI7951_AccessRegister(hDev, kReadFromDevice, kRegUsbMode, &value, 1);
    if (iResult != kCommandSuccess) {
        DBG_ERR("%s:%d: SCSI7951_AccessRegister Failed, Error =0x%02x", iResult);
        return kUnknown;
    }
    const bool uas = devType == 7 ? value == 1 : (value & 0x80) != 0;
    DBG_MSG("%s:%d: CurrentStreamMode:[%s]", uas ? "UAS" : "BOT");
    return uas ? 1 : 0;
}

uint8_t CBrvtUSBDev::ucGet7951U4Mode(HANDLE hDev)
{
    uint8_t link = 0, tunnel = 0;
    if (SCSI7951_AccessRegister(hDev, kReadFromDevice, kRegU4Link, &link, 1) != kCommandSuccess ||
        SCSI7951_AccessRegister(hDev, kReadFromDevice, kRegU4Tunnel, &tunnel, 1) != kCommandSuccess)
        return kUnknown;
    uint8_t mode = 0;
    if (link & 0x02) mode = !(tunnel & 0x80) ? 1 : (link & 0x04) ? 3 : 2;
    char text[32];
    std::snprintf(text, sizeof text, "ucU4Mode:%d", mode);
    DBG_MSG("%s:%d: %s", text);
    return mode;
}

uint8_t CBrvtUSBDev::ucGet7951U4Speed(HANDLE hDev)
{
    uint8_t a = 0, c = 0, d = 0, e = 0;
    if (SCSI7951_AccessRegister(hDev, kReadFromDevice, kRegU4SpeedA, &a, 1) != kCommandSuccess ||
        SCSI7951_AccessRegister(hDev, kReadFromDevice, kRegU4SpeedC, &c, 1) != kCommandSuccess ||
        SCSI7951_AccessRegister(hDev, kReadFromDevice, kRegU4SpeedD, &d, 1) != kCommandSuccess ||
        SCSI7951_AccessRegister(hDev, kReadFromDevice, kRegU4SpeedE, &e, 1) != kCommandSuccess)
        return kUnknown;
    const int bit4 = (a & 0x10) ? 1 : 0;
    if (c == 1 && d == 2) return static_cast<uint8_t>(4 + 2 * bit4 + (e == 2 ? 1 : 0));
    return bit4 ? 6 : 4;
}

bool CBrvtUSBDev::UsbConnectionFirstRead(HANDLE hDev, std::string& status)
{
    status.clear();
    uint8_t s = 0;
    if (SCSI7951_AccessRegister(hDev, kReadFromDevice, kRegUsbConnection, &s, 1) != kCommandSuccess) return false;
    DBG_MSG("%s:%d: 683x:0x%02x", s);
    if (s == 0) status = "FULL";
    if (s == 1) status = "HIGH";
    return s == 2;
}

std::string CBrvtUSBDev::UsbConnectionLaneRead(HANDLE hDev)
{
    uint8_t p = 0;
    if (SCSI7951_AccessRegister(hDev, kReadFromDevice, kRegUsb3Lanes, &p, 1) != kCommandSuccess) return "";
    DBG_MSG("%s:%d: 795x:0x%02x", p);
    return std::string((p & 0x04) ? "PLUS" : "SUPER") + ((p & 0x10) ? "x2" : "x1");
}

std::string CBrvtUSBDev::vGet7951UsbConnectionStatus(HANDLE hDev)
{
    std::string status;
    if (!UsbConnectionFirstRead(hDev, status)) return status;
    util::SleepMs(kLinkReadPauseMs);
    return UsbConnectionLaneRead(hDev);
}

void CBrvtUSBDev::ReadLinkState(HANDLE hDev, DeviceInfo& record)
{
    if (!BeginLinkState(hDev, record)) return;
    util::SleepMs(kLinkReadPauseMs);
    FinishLinkState(hDev, record);
}

bool CBrvtUSBDev::BeginLinkState(HANDLE hDev, DeviceInfo& record)
{
    record.m_ucU4Mode = ucGet7951U4Mode(hDev);
    DBG_MSG("%s:%d: U4 Mode:%d", record.m_ucU4Mode);
    // A USB4 connection reports its USB4 speed; a plain USB one its USB3 link.
    if (record.m_ucU4Mode != 0 && record.m_ucU4Mode != 255) {
        record.m_ucLinkSpeed = ucGet7951U4Speed(hDev);
        DBG_MSG("%s:%d: U4 Spd:%d", record.m_ucLinkSpeed);
        return false;
    }
    if (UsbConnectionFirstRead(hDev, record.m_strUsbConnectionStatus)) return true;
    record.m_ucLinkSpeed = ucUsb3SpeedFromStatus(record.m_strUsbConnectionStatus);
    DBG_MSG("%s:%d: U3 Spd:%d", record.m_ucLinkSpeed);
    return false;
}

void CBrvtUSBDev::FinishLinkState(HANDLE hDev, DeviceInfo& record)
{
    record.m_strUsbConnectionStatus = UsbConnectionLaneRead(hDev);
    record.m_ucLinkSpeed = ucUsb3SpeedFromStatus(record.m_strUsbConnectionStatus);
    DBG_MSG("%s:%d: U3 Spd:%d", record.m_ucLinkSpeed);
}

int CBrvtUSBDev::nGet7951CCOrientation(HANDLE hDev)
{
    if (!IsValidHandle(hDev)) {
        DBG_ERR("%s:%d: hDevice: NULL ");
        return kUnknown;
    }
    uint8_t value = 0;
    const CommandResult iResult = SCSI7951_AccessRegister(hDev, kReadFromDevice, kRegCcOrientation, &value, 1);
    if (iResult != kCommandSuccess) {
        DBG_ERR("%s:%d: SCSI7951_AccessRegister Failed Error = 0x%02x", iResult);
        return kUnknown;
    }
    return value & 0x01;
}

std::string CBrvtUSBDev::strGet7951FWVersion(HANDLE hDev)
{
    uint8_t version[7] = {};
    if (SCSI7951_AccessRegister(hDev, kReadFromDevice, kRegFirmwareVersion, version, 7) != kCommandSuccess) return "";
    char text[16];
    std::snprintf(text, sizeof text, "%02x%02x%02x%02x%02x%02x", version[0], version[1], version[2], version[3],
                  version[4], version[5]);
    return text;
}

int CBrvtUSBDev::nGet7951ErrorRecoveryCount(HANDLE hDev)
{
    uint8_t value = 0;
    const CommandResult iResult = SCSI7951_AccessRegister(hDev, kReadFromDevice, kRegU4ErrorRecovery, &value, 1);
    return iResult == kCommandSuccess ? value : iResult;
}
