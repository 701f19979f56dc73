#pragma once
// The optional limitation table "LimitationTable.ini": restricts a run to devices
// that already carry a given firmware version, strings or IDs.
#include <cstdint>
#include <string>
#include <vector>

inline constexpr const char* kLimitationTableFileName = "LimitationTable.ini";

// iCheckLimitation results.
enum : int {
    kLimitationPass = 0,
    kLimitationFWVersionMismatch = -2,
    kLimitationOtherMismatch = -3,
};

// The texts of one attached device that the table compares (read by the scan).
struct LimitationDeviceTexts {
    std::string m_strFWVersion;
    std::string m_strManufacturer;
    std::string m_strProduct;
    std::string m_strVID;
    std::string m_strPID;
};

struct LimitationTable {
    // [chk_item]
    int check_fw_version = 0;
    int check_manufacture_string = 0;
    int check_product_string = 0;
    int check_vid = 0;
    int check_pid = 0;
    int check_part_of_fw_version = 0;
    // [chk_value]
    std::string fw_version;
    std::string manufacture_string;
    std::string product_string;
    std::string vid;
    std::string pid;
    std::string part_of_fw_version;  // kept; the partial comparison uses fw_version
    int start_address_of_part_of_fw_version = 0;
    int part_of_fw_version_length = 0;
};

class CLimitationTable {
public:
    // Reads the table file; true when it exists and was read. The main window keeps
    // the result as the switch of the limitation check. A failed load leaves the
    // table cleared.
    bool vLoadLimitationTable(const std::string& strPath);
    // Loads "LimitationTable.ini" from `folder` (the tool's folder).
    bool vLoadLimitationTableFromFolder(const std::string& folder);

    bool bLoaded() const { return m_bLoaded; }
    const LimitationTable& Table() const { return m_Table; }
    LimitationTable& Table() { return m_Table; }

    // 0 when every device passes; -2 on a firmware-version mismatch; -3 on any
    // other mismatch. The first failing device and check decide.
    int iCheckLimitation(const std::vector<LimitationDeviceTexts>& devices) const;

private:
    LimitationTable m_Table;
    bool m_bLoaded = false;
};
