#pragma once
// Firmware browse history: the last five bridge firmware paths the operator
// browsed, newest first, kept in "BrowsedBINPath.txt" in the tool's folder and
// shown in the firmware combo box.
#include <string>
#include <vector>

#include "config/IniSettings.h"

inline constexpr size_t kMaxBrowsedBINPaths = 5;

class CFWBrowseList {
public:
    // Reads the list from `listFile` (one path a line; blank lines ignored; at
    // most five kept). A missing file gives an empty list.
    bool vLoadBINBrowseList(const std::string& listFile);
    // Writes every entry as "%s\r\n" to `listFile`, replacing it as a whole.
    bool vSaveBINBrowseList(const std::string& listFile) const;

    // The operator browsed `path`: when the file exists it goes to the top (an
    // equal entry further down is removed), the sixth entry is dropped, the path
    // becomes `fw_binary_name` (and, with `USB4_BcdSync` 1, the USB4 BCD revision
    // follows its name) and the list is saved to `listFile`. Returns false
    // when the file does not exist (nothing changes) or the list was not saved.
    bool vBrowseFirmware(const std::string& path, IniSettings& settings, const std::string& listFile);

    const std::vector<std::string>& Entries() const { return m_Entries; }

private:
    std::vector<std::string> m_Entries;
};

// "BrowsedBINPath.txt" in the tool's folder.
std::string strBrowsedBINPathFile();
