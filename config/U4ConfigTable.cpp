#include "config/U4ConfigTable.h"
#include "util/Text.h"

#include <atomic>
#include <cerrno>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <random>
#include <unistd.h>

#include "log/DebugLog.h"
#include "util/USBUtility.h"

using namespace u4_table;

namespace {

void PutLE(U4ConfigTable& block, size_t offset, size_t width, uint32_t value)
{
    for (size_t i = 0; i < width; ++i) block[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

void PutHexField(U4ConfigTable& block, size_t offset, size_t width, const char* text)
{
    PutLE(block, offset, width, ulParseHex(text));
}

// Names keep at most 32 characters so that they never run into the next field.
void PutName(U4ConfigTable& block, size_t offset, const IniString& text, const char* field)
{
    size_t length = IniStringLength(text);
    if (length > kNameMaxChars) {
        DBG_WRN("%s:%d: %s longer than %d characters is cut : %s", field, static_cast<int>(kNameMaxChars), text);
        length = kNameMaxChars;
    }
    std::memcpy(block.data() + offset, text, length);
}

std::string Hex(const U4ConfigTable& block, size_t high, size_t low)
{
    std::string text;
    char pair[3];
    for (size_t i = high + 1; i-- > low;) {
        std::snprintf(pair, sizeof pair, "%02X", block[i]);
        text += pair;
    }
    return text;
}

// Offset of the 7-digit part of generated IDs, drawn once per process. Each ID adds
// the next value of a process-wide sequence times an odd constant, which modulo 2^28
// never repeats a value, so two IDs of one run always differ even within the same
// second.
uint32_t ComponentIdSuffix()
{
    static const uint32_t base = [] {
        std::seed_seq seed{static_cast<uint32_t>(std::time(nullptr)), static_cast<uint32_t>(::getpid()),
                           static_cast<uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count())};
        std::mt19937 generator(seed);
        return static_cast<uint32_t>(generator());
    }();
    static std::atomic<uint32_t> sequence{0};
    const uint32_t n = sequence.fetch_add(1, std::memory_order_relaxed);
    return (base + n * 0x9E3779Bu) & 0x0FFFFFFFu;
}

std::string FilterKeeping(const std::string& text, size_t maxLength, int* caret, bool hex)
{
    const size_t oldCaret = caret && *caret > 0 ? static_cast<size_t>(*caret) : 0;
    std::string kept;
    size_t newCaret = 0;
    for (size_t i = 0; i < text.size() && kept.size() < maxLength; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (hex ? !std::isxdigit(c) : c <= 31) continue;
        kept.push_back(hex ? static_cast<char>(std::toupper(c)) : static_cast<char>(c));
        if (i < oldCaret) newCaret = kept.size();
    }
    if (caret) *caret = static_cast<int>(newCaret);
    return kept;
}

}  // namespace

LocalDate LocalDateNow()
{
    const std::tm local = util::LocalTimeNow();
    return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday};
}

uint8_t ucU4ConfigChecksum(const U4ConfigTable& block)
{
    unsigned sum = 0;
    for (size_t i = 0; i <= kLastSummedByte; ++i) sum += block[i];
    return static_cast<uint8_t>(sum);
}

std::string strComponentIdFromU4Config(const U4ConfigTable& block)
{
    return Hex(block, kComponentIdHigh, kComponentIdLow).substr(1);
}

bool bIsPlaceholderComponentId(const std::string& id)
{
    return id == "00000000000" || id == "FFFFFFFFFFF" || id == "CCDDEEFF321" || id == "AAAABBBBCCC";
}

std::string strGenerateComponentId(const LocalDate& date)
{
    char text[32];
    std::snprintf(text, sizeof text, "%X%X%02X%07X", static_cast<unsigned>(date.iYear % 10),
                  static_cast<unsigned>(date.iMonth), static_cast<unsigned>(date.iDay), ComponentIdSuffix());
    return text;
}

bool bSetUSB4DeviceConfigurationByGUI(IniSettings& ini, uint8_t ucDeviceIndex, U4ConfigTable& U4ConfigImage,
                                      const U4PciIds& pciIds, const LocalDate& date)
{
    try {
        U4ConfigTable block;
        block.fill(0xFF);
        PutName(block, kVendorName, ini.USB4_VendorName, "USB4_VendorName");
        PutName(block, kModelName, ini.USB4_ModelName, "USB4_ModelName");

        std::string componentId = strComponentIdFromU4Config(U4ConfigImage);
        if (!bIsPlaceholderComponentId(componentId)) {
            DBG_MSG("%s:%d: keep component id[%s]", componentId.c_str());
        } else {
            componentId = strGenerateComponentId(date);
            ini.USB4_ComponentID_EditType = 5;
            DBG_MSG("%s:%d: device [%d] new component id[%s]", ucDeviceIndex, componentId.c_str());
        }
        SetIniString(ini.USB4_ComponentID, componentId);

        // c0 in the low nibble of byte 89, then c1c2 in byte 88 down to c9c10 in 84.
        const std::string id = componentId + std::string(kComponentIdChars, '0');
        const uint32_t mode = ini.USB4_U4Mode > 3 ? 3u : ini.USB4_U4Mode;
        block[kComponentIdHigh] = static_cast<uint8_t>((ulParseHex(id.substr(0, 1).c_str()) & 0x0F) + (mode << 4) +
                                                       ((ini.USB4_20G ? 1u : 0u) << 6) + ((ini.USB4_x2 ? 1u : 0u) << 7));
        for (size_t k = 0; k < 5; ++k)
            block[kComponentIdHigh - 1 - k] = static_cast<uint8_t>(ulParseHex(id.substr(1 + 2 * k, 2).c_str()));
        block[kCLMode] = static_cast<uint8_t>(0xFC + (ini.USB4_CLMode & 3u));

        PutHexField(block, kVendorId, 2, ini.USB4_VendorID);
        PutHexField(block, kProductId, 2, ini.USB4_ProductID);
        PutHexField(block, kTestId, 4, ini.USB4_TestID);
        PutHexField(block, kBcdProductFW, 2, ini.USB4_BcdProductFWRevision);
        PutHexField(block, kProductHW, 1, ini.USB4_ProductHWRevision);
        PutHexField(block, kMinFW, 1, ini.USB4_MinFW);
        PutHexField(block, kTBT3VendorId, 2, ini.USB4_TBT3VendorID);
        PutHexField(block, kTBT3ModelId, 2, ini.USB4_TBT3ModelID);
        PutHexField(block, kTBT3ModelRevision, 1, ini.USB4_TBT3ModelRevision);
        PutHexField(block, kPciVendorId, 2, pciIds.strPCIVID.c_str());
        PutHexField(block, kPciDeviceId, 2, pciIds.strPCIDID.c_str());
        block[kZero] = 0x00;
        block[kZero + 1] = 0x00;

        block[kSignature] = kSignatureValue;
        block[kChecksum] = ucU4ConfigChecksum(block);
        U4ConfigImage = block;
        return true;
    } catch (...) {
        DBG_ERR("%s:%d: catch(...): ucDeviceIndex : %d", ucDeviceIndex);
        return false;
    }
}

std::string strCheckUSB4FieldLength(const IniSettings& ini)
{
    const struct {
        const IniString& field;
        size_t length;
        const char* message;
    } checks[] = {
        {ini.USB4_ComponentID, 11, "USB4 Component ID lenth check fail"},
        {ini.USB4_VendorID, 4, "USB4 vendor ID lenth check fail"},
        {ini.USB4_ProductID, 4, "USB4 product ID lenth check fail"},
        {ini.USB4_TestID, 8, "USB4 test ID lenth check fail"},
        {ini.USB4_BcdProductFWRevision, 4, "USB4 device release number lenth check fail"},
        {ini.USB4_ProductHWRevision, 2, "USB4 major fw version lenth check fail"},
        {ini.USB4_MinFW, 2, "USB4 minor fw version lenth check fail"},
        {ini.USB4_TBT3VendorID, 4, "USB4 TBT3 vendor ID lenth check fail"},
        {ini.USB4_TBT3ModelID, 4, "USB4 TBT3 model ID lenth check fail"},
        {ini.USB4_TBT3ModelRevision, 2, "USB4 TBT3 model revision lenth check fail"},
    };
    for (const auto& check : checks)
        if (IniStringLength(check.field) != check.length) return check.message;
    return "";
}

bool bCheckUSB4FieldLength(const IniSettings& ini, bool bWindowHidden)
{
    const std::string message = strCheckUSB4FieldLength(ini);
    if (message.empty()) return true;
    DBG_WRN("%s:%d: %s", message.c_str());
    CUSBUtility::Instance().ShowProgramMessage(message, kMsgWarning, 0, bWindowHidden);
    return false;
}

void vSetRelinkSignatureAndChkSumToU4Config(U4ConfigTable& U4ConfigImage, uint8_t ucTargetNum, uint8_t ucWorkerCount)
{
    DBG_MSG("%s:%d: target num:%d, rlnk:%x,%x", ucTargetNum, ucWorkerCount, ucTargetNum);
    U4ConfigImage[kRelinkWorkerCount] = ucWorkerCount;
    U4ConfigImage[kRelinkDeviceIndex] = ucTargetNum;
    U4ConfigImage[kChecksum] = ucU4ConfigChecksum(U4ConfigImage);
}

std::string strFilterUSB4HexEdit(const std::string& text, size_t maxLength, int* caret)
{
    return FilterKeeping(text, maxLength, caret, true);
}

std::string strFilterUSB4NameEdit(const std::string& text, int* caret)
{
    return FilterKeeping(text, kNameMaxChars, caret, false);
}

std::string OnUSB4EditChangeForHex(IniString& field, const std::string& text, size_t maxLength, int* caret)
{
    const std::string kept = strFilterUSB4HexEdit(text, maxLength, caret);
    SetIniString(field, kept);
    return kept;
}

std::string strU4DataFileName(const LocalDate& date)
{
    char name[64];
    std::snprintf(name, sizeof name, "U4Data_%d%02d%02d.csv", date.iYear, date.iMonth, date.iDay);
    return name;
}

std::string strU4DataRow(const U4ConfigTable& block)
{
    const std::string componentId = strComponentIdFromU4Config(block);
    const std::string fields[] = {
        componentId,
        Hex(block, kVendorId + 1, kVendorId),
        Hex(block, kProductId + 1, kProductId),
        Hex(block, kTestId + 3, kTestId),
        Hex(block, kBcdProductFW + 1, kBcdProductFW),
        Hex(block, kProductHW, kProductHW),
        Hex(block, kTBT3VendorId + 1, kTBT3VendorId),
        Hex(block, kTBT3ModelId + 1, kTBT3ModelId),
        Hex(block, kTBT3ModelRevision, kTBT3ModelRevision),
        Hex(block, kPciVendorId + 1, kPciVendorId),
        Hex(block, kPciDeviceId + 1, kPciDeviceId),
        "2B9D-" + componentId + "-0",
    };
    std::string row;
    for (const auto& field : fields) row += (row.empty() ? "" : ",") + field;
    return row + "\n";
}

bool bExportU4Data(const std::vector<U4ConfigTable>& blocks, const LocalDate& date, const std::string& folder)
{
    try {
        const std::string path = (std::filesystem::path(folder) / strU4DataFileName(date)).string();
        std::error_code ec;
        std::string text = std::filesystem::exists(path, ec) ? "" : kU4DataHeader;
        for (const auto& block : blocks) text += strU4DataRow(block);
        if (!AppendRecord(path, text)) {
            DBG_ERR("%s:%d: U4Data export: append to %s Fail , dwErrorCode %d", path.c_str(), errno);
            return false;
        }
        return true;
    } catch (...) {
        DBG_ERR("%s:%d: catch(...): U4Data export , dwErrorCode %d", errno);
        return false;
    }
}
