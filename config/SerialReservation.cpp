#include "config/SerialReservation.h"

#include <filesystem>

#include "config/Ini.h"
#include "config/SerialNumber.h"
#include "log/DebugLog.h"
#include "platform/FileLock.h"

std::string strToolFolderLockPath(const std::string& folder)
{
    return folder + "/.deveda-settings.lock";
}

bool bRunAdvancesSerial(const IniSettings& s)
{
    return s.SN_EditType == 1 || s.SN_EditType == 2 || s.USB4_ComponentID_EditType == 1 ||
           s.USB4_ComponentID_EditType == 2;
}

bool bReserveSerialRange(const std::string& iniPath, IniSettings& settings, uint8_t count, bool adoptStored,
                         bool messagesToFile, SerialRange& range, std::string& error)
{
    const std::string folder = std::filesystem::path(iniPath).parent_path().string();
    std::string holder;
    const auto lock = platform::FileLock::Acquire(strToolFolderLockPath(folder.empty() ? "." : folder), true, holder);
    if (!lock) {
        error = holder;
        return false;
    }
    Ini stored;
    std::error_code ec;
    if (adoptStored && std::filesystem::exists(iniPath, ec) && stored.vLoadINIFile(iniPath)) {
        if (std::string(stored.m_pINI.serial_number) != settings.serial_number)
            DBG_MSG("%s:%d: serial number %s taken from the stored counter instead of %s", stored.m_pINI.serial_number,
                    settings.serial_number);
        SetIniString(settings.serial_number, stored.m_pINI.serial_number);
        SetIniString(settings.USB4_ComponentID, stored.m_pINI.USB4_ComponentID);
    }
    range.first = settings.serial_number;
    range.firstComponentId = settings.USB4_ComponentID;
    range.next = range.first;
    range.nextComponentId = range.firstComponentId;
    if (settings.SN_EditType == 1 || settings.SN_EditType == 2)
        range.next = strAdvanceSNForSettings(settings, range.first, count);
    const uint32_t u4Type = settings.USB4_ComponentID_EditType;
    if (u4Type == 1 || u4Type == 2) range.nextComponentId = vAddLimitSN(range.firstComponentId, count, u4Type == 1);

    Ini store;
    store.m_pINI = settings;
    store.m_bMessageToFile = messagesToFile;
    SetIniString(store.m_pINI.serial_number, range.next);
    SetIniString(store.m_pINI.USB4_ComponentID, range.nextComponentId);
    if (!store.vStoreINIFile(iniPath)) {
        error = "cannot store " + iniPath + (store.m_strLastStoreError.empty() ? "" : ": " + store.m_strLastStoreError);
        return false;
    }
    return true;
}
