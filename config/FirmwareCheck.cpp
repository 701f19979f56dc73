#include "config/FirmwareCheck.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <system_error>

#include "log/DebugLog.h"
#include "util/USBUtility.h"

namespace fs = std::filesystem;

namespace {

// Signature of each chip major revision, checksum image then CRC32 image.
constexpr FWSignaturePair kFWSignatures[8] = {
    {0x5A, 0xA5}, {0x4B, 0xB4}, {0x3C, 0xC3}, {0x2D, 0xD2}, {0x1E, 0xE1}, {0x0F, 0xF0}, {0x69, 0x96}, {0x78, 0x87},
};

// Index just after the last path separator; both separators are accepted so that
// paths typed in either form work.
size_t NameStart(const std::string& path)
{
    const size_t sep = path.find_last_of("/\\");
    return sep == std::string::npos ? 0 : sep + 1;
}

bool EqualIgnoringCase(const std::string& a, const std::string& b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

}  // namespace

std::optional<std::vector<uint8_t>> ReadWholeFile(const std::string& path)
{
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) return std::nullopt;
    const auto size = fs::file_size(path, ec);
    if (ec || size > UINT32_MAX) return std::nullopt;
    std::vector<uint8_t> data(static_cast<size_t>(size));
    if (size == 0) return data;
    if (!CUSBUtility::Instance().vReadFile(path, data.data(), static_cast<uint32_t>(size))) return std::nullopt;
    return data;
}

uint8_t uGet7951FWSignatureFromeBin(const std::string& strFWFileName)
{
    try {
        const auto image = ReadWholeFile(strFWFileName);
        if (!image) {
            DBG_ERR("%s:%d: strFWFileName : %s , dwErrorCode %d", strFWFileName.c_str(), errno);
            return kFWNoSignature;
        }
        // A file shorter than the signature offset has no signature byte at all.
        if (image->size() < kFWSignatureFromEnd) {
            DBG_ERR("%s:%d: strFWFileName : %s , file size %d too small", strFWFileName.c_str(),
                    static_cast<int>(image->size()));
            return kFWNoSignature;
        }
        return (*image)[image->size() - kFWSignatureFromEnd];
    } catch (...) {
        DBG_ERR("%s:%d: catch(...): strFWFileName : %s", strFWFileName.c_str());
        return kFWNoSignature;
    }
}

std::optional<FWSignaturePair> FWSignatureForRevision(unsigned ucChipMajorRevision)
{
    if (ucChipMajorRevision >= std::size(kFWSignatures)) return std::nullopt;
    return kFWSignatures[ucChipMajorRevision];
}

bool bCmp7951ChipAndFWVersion(unsigned ucChipMajorRevision, uint8_t ucFWSignature)
{
    const auto row = FWSignatureForRevision(ucChipMajorRevision);
    if (!row) {
        DBG_ERR("%s:%d: unmatch chip maj rev:%d", static_cast<int>(ucChipMajorRevision));
        return false;
    }
    const bool match = ucFWSignature == row->ucCheckSum || ucFWSignature == row->ucCRC32;
    if (!match)
        DBG_ERR("%s:%d: match:%d, chip maj rev:%d, FW sig from bin:%X, FW sig(chk sum):%X, FW sig(CRC32):%X", 0,
                static_cast<int>(ucChipMajorRevision), ucFWSignature, row->ucCheckSum, row->ucCRC32);
    return match;
}

std::optional<std::string> strFWVersionFromImage(const std::vector<uint8_t>& image)
{
    if (image.size() < kFWImageVersionOffset + kFWImageVersionLength) return std::nullopt;
    char text[2 * kFWImageVersionLength + 1];
    const uint8_t* v = image.data() + kFWImageVersionOffset;
    std::snprintf(text, sizeof text, "%02x%02x%02x%02x%02x%02x", v[0], v[1], v[2], v[3], v[4], v[5]);
    return std::string(text);
}

std::string strFWVersionFromFileName(const std::string& strFWFileName)
{
    const size_t start = NameStart(strFWFileName) + std::char_traits<char>::length(kFWFileNamePrefix);
    std::string field = start < strFWFileName.size() ? strFWFileName.substr(start, kFWVersionFieldLength) : "";
    std::erase(field, '_');
    return field;
}

bool bCheckFWFile(const std::string& strFWFileName)
{
    try {
        if (strFWFileName.size() < kFWFileNameLength) {
            DBG_ERR("%s:%d: len check fail : strFWFileName : %s", strFWFileName.c_str());
            return false;
        }
        const std::string tail = strFWFileName.substr(strFWFileName.size() - kFWFileNameLength);
        if (tail.find(kFWFileNamePrefix) == std::string::npos) {
            DBG_ERR("%s:%d: file name check fail : strFWFileName : %s", strFWFileName.c_str());
            return false;
        }
        const std::string fromName = strFWVersionFromFileName(strFWFileName);
        const auto image = ReadWholeFile(strFWFileName);
        const auto fromFile = image ? strFWVersionFromImage(*image) : std::nullopt;
        if (!fromFile || !EqualIgnoringCase(fromName, *fromFile)) {
            DBG_ERR("%s:%d: bCheckFWFile FAIL: strFWFileName : %s , strFWFileNameFromFile : %s", fromName.c_str(),
                    fromFile ? fromFile->c_str() : "(unreadable image)");
            return false;
        }
        return true;
    } catch (...) {
        DBG_ERR("%s:%d: catch(...): strFWFileName : %s", strFWFileName.c_str());
        return false;
    }
}

std::string strFWFileRefusal(const std::string& path)
{
    const std::string file = "the firmware file " + path;
    std::error_code ec;
    if (!fs::exists(path, ec)) return file + " does not exist";
    const auto image = ReadWholeFile(path);
    if (!image) return file + " cannot be read";
    if (image->empty()) return file + " is empty";
    if (image->size() < kFWImageVersionOffset + kFWImageVersionLength || image->size() < kFWSignatureFromEnd)
        return file + " is " + std::to_string(image->size()) + " bytes, too short for a firmware image";
    const uint8_t signature = (*image)[image->size() - kFWSignatureFromEnd];
    const bool known = std::any_of(std::begin(kFWSignatures), std::end(kFWSignatures), [&](const FWSignaturePair& row) {
        return signature == row.ucCheckSum || signature == row.ucCRC32;
    });
    if (!known) {
        char text[160];
        std::snprintf(text, sizeof text, " ends with the signature byte 0x%02X, which belongs to no chip (a damaged or "
                                         "foreign image)", signature);
        return file + text;
    }
    const std::string fromName = strFWVersionFromFileName(path);
    const std::string fromImage = strFWVersionFromImage(*image).value_or("");
    if (path.size() < kFWFileNameLength ||
        path.substr(path.size() - kFWFileNameLength).find(kFWFileNamePrefix) == std::string::npos)
        return file + " is not named " + kFWFileNamePrefix + "YY_MMDD_XX_XXXX.bin";
    if (!EqualIgnoringCase(fromName, fromImage))
        return file + " holds version " + fromImage + " but its name says " + fromName;
    return "";
}

std::optional<std::string> strBcdRevisionFromFWFile(const std::string& strFWFileName)
{
    std::error_code ec;
    if (!fs::is_regular_file(strFWFileName, ec)) return std::nullopt;
    // The last occurrence is the one in the file name when a folder carries the
    // prefix as well.
    const size_t prefix = strFWFileName.rfind(kFWFileNamePrefix);
    if (prefix == std::string::npos) return std::nullopt;
    const std::string date = strFWFileName.substr(prefix + std::char_traits<char>::length(kFWFileNamePrefix), 6);
    if (date.size() != 6) return std::nullopt;
    for (char c : date)
        if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
    const int month = (date[2] - '0') * 10 + (date[3] - '0');
    // A month outside 1..12 cannot be written as one hex digit of a date.
    if (month < 1 || month > 12) return std::nullopt;
    char text[8];
    std::snprintf(text, sizeof text, "%c%X%c%c", date[1], month, date[4], date[5]);
    return std::string(text);
}

bool bSyncUSB4BcdProductFWRevision(IniSettings& ini)
{
    if (ini.USB4_BcdSync != 1) return false;
    const std::string path(ini.fw_binary_name, IniStringLength(ini.fw_binary_name));
    const auto revision = strBcdRevisionFromFWFile(path);
    if (!revision) {
        DBG_WRN("%s:%d: USB4 BCD sync: no revision from strFWFileName : %s", path.c_str());
        return false;
    }
    SetIniString(ini.USB4_BcdProductFWRevision, *revision);
    return true;
}
