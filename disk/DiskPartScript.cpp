// The partitioning script's name, text and file.
#include "disk/DiskPartScript.h"

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "log/DebugLog.h"
#include "util/USBUtility.h"

namespace disk {

namespace {
constexpr size_t kMaxScriptBytes = 8192;

// The four templates; "%d" drive, "%u" offset in KiB, "%c" drive letter.
constexpr const char* kMbrScript =
    " list disk\n select disk %d\n online disk noerr \n attributes disk clear readonly noerr \n clean \nconvert mbr "
    "\ncreate partition primary \n select partition 1\n assign letter=%c\n";
constexpr const char* kMbrOffsetScript =
    " list disk\n select disk %d\n online disk noerr \n attributes disk clear readonly noerr \n clean \nconvert mbr "
    "\ncreate partition primary offset=%u \n select partition 1\n assign letter=%c\n";
constexpr const char* kGptScript =
    " list disk\n select disk %d\n online disk noerr \n clean \n convert gpt\ncreate partition primary \n select "
    "partition 2\n assign letter=%c\n";
constexpr const char* kGptOffsetScript =
    " list disk\n select disk %d\n online disk noerr \n clean \n convert gpt\ncreate partition primary offset=%u \n "
    "select partition 2\n assign letter=%c\n";

bool IsDriveLetter(char letter) { return (letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z'); }
}  // namespace

std::string DiskPartScriptName(int physicalDrive)
{
    char name[64];
    std::snprintf(name, sizeof(name), "%s%d.%s", "DiskPartTarget", physicalDrive, "sc");
    return name;
}

std::optional<std::string> DiskPartScriptText(int physicalDrive, char driveLetter, uint8_t gpt, uint32_t offsetMiB)
{
    if (physicalDrive <= 0 || !IsDriveLetter(driveLetter) || offsetMiB > UINT32_MAX / 1024) return std::nullopt;
    const uint32_t offsetKiB = offsetMiB * 1024;
    char text[kMaxScriptBytes];
    int length = 0;
    if (offsetKiB == 0)
        length = std::snprintf(text, sizeof(text), gpt != 0 ? kGptScript : kMbrScript, physicalDrive, driveLetter);
    else
        length = std::snprintf(text, sizeof(text), gpt != 0 ? kGptOffsetScript : kMbrOffsetScript, physicalDrive,
                               offsetKiB, driveLetter);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof(text)) return std::nullopt;
    return std::string(text, static_cast<size_t>(length));
}

bool vSetDiskPartSetupInfo(const std::filesystem::path& folder, char driveLetter, int physicalDrive, uint8_t gpt,
                           uint32_t offsetMiB)
{
    if (physicalDrive == 0) {
        DBG_ERR("%s:%d:  ucPhysicalAddress is invalid, m_ucPhysicalAddress : %d , dwErrorCode %d", physicalDrive, 0);
        return false;
    }
    const std::string path = (folder / DiskPartScriptName(physicalDrive)).string();
    const auto text = DiskPartScriptText(physicalDrive, driveLetter, gpt, offsetMiB);
    if (!text) {
        DBG_ERR("%s:%d: ucPhysicalAddress[%d] CreateFile[%s] Script Fail, ErrorCode:%d", physicalDrive, path.c_str(),
                EINVAL);
        return false;
    }
    std::error_code error;
    if (std::filesystem::exists(path, error) && !std::filesystem::remove(path, error))
        DBG_WRN("%s:%d: vSetDiskPartSetupInfo: No strDiskPartFileName[%s] to Delete  ", path.c_str());
    if (!CUSBUtility::Instance().vWriteFile(path, reinterpret_cast<const uint8_t*>(text->data()),
                                            static_cast<uint32_t>(text->size()))) {
        DBG_ERR("%s:%d: ucPhysicalAddress[%d] CreateFile[%s] Script Fail, ErrorCode:%d", physicalDrive, path.c_str(),
                errno);
        return false;
    }
    if (!std::filesystem::exists(path, error)) {
        DBG_ERR("%s:%d: ucPhysicalAddress[%d] ScriptFile[%s] Not Exist, ErrorCode:%d", physicalDrive, path.c_str(),
                errno);
        return false;
    }
    return true;
}

bool vDelDiskPartSetupInfo(const std::filesystem::path& folder, int physicalDrive)
{
    const std::filesystem::path path = folder / DiskPartScriptName(physicalDrive);
    std::error_code error;
    if (!std::filesystem::exists(path, error)) return !error;
    return std::filesystem::remove(path, error) && !error;
}

}  // namespace disk
