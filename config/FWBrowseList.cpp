#include "config/FWBrowseList.h"
#include "config/FirmwareCheck.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>

#include "log/DebugLog.h"
#include "util/USBUtility.h"

namespace fs = std::filesystem;

std::string strBrowsedBINPathFile()
{
    return (fs::path(CUSBUtility::Instance().GetProgramFolder()) / kBrowsedBINPathFileName).string();
}

bool CFWBrowseList::vLoadBINBrowseList(const std::string& listFile)
{
    m_Entries.clear();
    std::ifstream in(listFile, std::ios::binary);
    if (!in) return false;
    std::string line;
    while (m_Entries.size() < kMaxBrowsedBINPaths && std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) m_Entries.push_back(line);
    }
    return true;
}

bool CFWBrowseList::vSaveBINBrowseList(const std::string& listFile) const
{
    std::string text;
    for (const auto& entry : m_Entries) text += entry + "\r\n";
    const bool ok = CUSBUtility::Instance().vWriteFile(listFile, reinterpret_cast<const uint8_t*>(text.data()),
                                                       static_cast<uint32_t>(text.size()));
    if (!ok) DBG_ERR("%s:%d: vSaveBINBrowseList: strFilePath : %s , dwErrorCode %d", listFile.c_str(), errno);
    return ok;
}

bool CFWBrowseList::vBrowseFirmware(const std::string& path, IniSettings& settings, const std::string& listFile)
{
    std::error_code ec;
    if (path.empty() || !fs::is_regular_file(path, ec)) return false;
    // A path the record cannot hold would become another file.
    if (path.size() > kIniStringSize - 1) {
        DBG_ERR("%s:%d: vBrowseFirmware: path length %d > %d", static_cast<int>(path.size()),
                static_cast<int>(kIniStringSize - 1));
        return false;
    }
    m_Entries.erase(std::remove(m_Entries.begin(), m_Entries.end(), path), m_Entries.end());
    m_Entries.insert(m_Entries.begin(), path);
    if (m_Entries.size() > kMaxBrowsedBINPaths) m_Entries.resize(kMaxBrowsedBINPaths);
    SetIniString(settings.fw_binary_name, path);
    bSyncUSB4BcdProductFWRevision(settings);
    return vSaveBINBrowseList(listFile);
}
