#pragma once
// Closes a station handle when the scope ends, so every path of an operation
// gives its device back.
#include "platform/Station.h"

class ScopedHandle {
public:
    ScopedHandle(platform::IStation& station, platform::HANDLE handle) : m_Station(station), m_Handle(handle) {}
    ~ScopedHandle()
    {
        if (m_Handle != nullptr && m_Handle != platform::INVALID_HANDLE_VALUE) m_Station.CloseHandle(m_Handle);
    }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    platform::HANDLE Get() const { return m_Handle; }
    bool Valid() const { return m_Handle != nullptr && m_Handle != platform::INVALID_HANDLE_VALUE; }

private:
    platform::IStation& m_Station;
    platform::HANDLE m_Handle;
};
