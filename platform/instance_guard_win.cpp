#include "instance_guard.h"

#include <windows.h>

namespace quarvo {

InstanceGuard::~InstanceGuard()
{
    if (m_handle)
        CloseHandle(m_handle);
}

InstanceGuard::Result InstanceGuard::acquire()
{
    const int length = MultiByteToWideChar(CP_UTF8, 0, m_name.c_str(), -1, nullptr, 0);
    if (length <= 0)
        return Result::Unavailable;
    std::wstring name(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, m_name.c_str(), -1, name.data(), length);
    HANDLE mutex = CreateMutexW(nullptr, TRUE, name.c_str());
    if (!mutex)
        return Result::Unavailable;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        return Result::AlreadyRunning;
    }
    m_handle = mutex;
    return Result::Acquired;
}

} // namespace quarvo
