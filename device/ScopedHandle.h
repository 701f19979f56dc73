#pragma once
// Closes a handle when the scope ends, so every path of an operation gives its
// device back. The owner is what opened it: the station, or a host-side mapping
// with handles of its own (device/host/UsbTree.h).
#include "platform/Station.h"

template <class Owner>
class BasicScopedHandle {
public:
    BasicScopedHandle(Owner& owner, platform::HANDLE handle) : m_Owner(owner), m_Handle(handle) {}
    ~BasicScopedHandle()
    {
        if (Valid()) m_Owner.CloseHandle(m_Handle);
    }
    BasicScopedHandle(const BasicScopedHandle&) = delete;
    BasicScopedHandle& operator=(const BasicScopedHandle&) = delete;
    platform::HANDLE Get() const { return m_Handle; }
    bool Valid() const { return m_Handle != nullptr && m_Handle != platform::INVALID_HANDLE_VALUE; }

private:
    Owner& m_Owner;
    platform::HANDLE m_Handle;
};

using ScopedHandle = BasicScopedHandle<platform::IStation>;
