#pragma once
// The records discovery fills: one DeviceInfo per bridge, up to MAX_DEVICES.
#include <array>
#include <cstdint>
#include <string>

constexpr int MAX_DEVICES = 16;
constexpr uint8_t kAddressUnset = 127;     // disk / CD-ROM number not yet known
constexpr uint8_t kAddressNotFound = 255;  // disk number searched for and not found
constexpr char kNoDriveLetter = 127;
// Size of one configuration-area table (ConfigTable or U4ConfigTable).
constexpr uint32_t CONFIG_BIN_SIZE = 128;

struct DeviceInfo {
    uint8_t m_ucDevIdx = 255;
    char m_cDriveLetter = kNoDriveLetter;
    std::array<uint8_t, 544> m_DiskInfo{};  // disk information area: media text, geometry
    int32_t m_iDiskSizeLow = -1;
    int32_t m_iDiskSizeHigh = -1;
    uint8_t m_bCDROM = 0;
    uint8_t m_ucPhysicalAddress = kAddressUnset;
    uint8_t m_ucCDROMAddress = kAddressUnset;
    std::string m_strPID;
    std::string m_strVID;
    std::string m_strSerialNumber;
    std::string m_strManufacturer;
    std::string m_strProduct;
    std::string m_strDeviceRev;
    int32_t m_iPortLocation = -1;
    std::string m_strDiskSerialNumber;
    std::string m_strDiskFWVersion;
    std::string m_strFWVersion;
    std::string m_strDevTypeName;
    std::string m_strChipRevision;
    uint8_t m_ucDevType = 255;
    uint8_t m_ucChipExtraStatus = 0;
    uint8_t m_ucChipVariant = 127;
    uint8_t m_ucU4Mode = 255;
    std::array<uint32_t, 5> m_ulWorkValues{0x7F7F7F7F, 0x7F7F7F7F, 0x7F7F7F7F, 0x7F7F7F7F, 0x7F7F7F7F};
    uint8_t m_ucUSBMode = 255;
    uint8_t m_ucLinkSpeed = 255;
    uint8_t m_ucBondingOption = 0;
    uint8_t m_ucCCOrientation = 255;
    std::string m_strHubName;
    std::string m_strDriverKeyName;
    int32_t m_ulPortIndex = -1;
    int32_t m_ulPortCount = -1;
    uint8_t m_ucCleared = 0;
    std::string m_strPDVersion = "NULL";
    std::string m_strMCUVersion = "NULL";
    std::string m_strUsbConnectionStatus;
    std::array<uint8_t, CONFIG_BIN_SIZE> U3ConfigImage{};
    std::array<uint8_t, CONFIG_BIN_SIZE> U4ConfigImage{};
    std::array<uint8_t, CONFIG_BIN_SIZE> ConfigReadBack{};
    uint8_t IsPcie = 0;
    // Not empty for a device that carries a bridge's USB identity but failed
    // identification: the failure, shown as the row's status and failing the run.
    std::string m_strIdentifyFailure;
};

struct DeviceList {
    uint32_t DevNums = 0;
    uint8_t ucCDROMFound = 0;
    std::array<DeviceInfo, MAX_DEVICES> Devs{};
};
