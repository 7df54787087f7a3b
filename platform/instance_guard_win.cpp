#include "instance_guard.h"

#include "windows_error.h"

#include <windows.h>

#include <algorithm>

namespace quarvo {
namespace {

// The same name in the namespace that every session shares.
constexpr const wchar_t* GLOBAL_PREFIX = L"Global\\";
constexpr int SESSION_MUTEX = 0;
constexpr int GLOBAL_MUTEX = 1;

// The system's text for `error` in UTF-8, without the closing full stop and line break, with its
// number.
std::string systemReason(DWORD error)
{
    const std::string reason = windowsErrorText(error);
    const std::string number = "error " + std::to_string(error);
    return reason.empty() ? "system " + number : reason + " (" + number + ")";
}

// Session 0 (services, and the programs that an SSH server starts) has no namespace of its own:
// there a name without a prefix already is the global one, and taking both would find the first.
bool inServiceSession()
{
    DWORD session = 0;
    return ProcessIdToSessionId(GetCurrentProcessId(), &session) && session == 0;
}

void closeAll(void* (&handles)[2])
{
    for (void*& handle : handles) {
        if (handle)
            CloseHandle(handle);
        handle = nullptr;
    }
}

} // namespace

InstanceGuard::~InstanceGuard() { closeAll(m_handles); }

InstanceGuard::Result InstanceGuard::acquire()
{
    if (m_handles[SESSION_MUTEX] || m_handles[GLOBAL_MUTEX])
        return Result::Acquired;
    m_obstacle.clear();
    const int length =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, m_name.c_str(), -1, nullptr, 0);
    std::wstring sessionName(static_cast<std::size_t>(std::max(length, 1)), L'\0');
    if (length <= 0 || MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, m_name.c_str(), -1,
                                           sessionName.data(), length) != length) {
        m_obstacle = "mutex " + m_name + ": " + systemReason(GetLastError());
        return Result::Unavailable;
    }
    sessionName.resize(static_cast<std::size_t>(length - 1));
    const std::wstring globalName = GLOBAL_PREFIX + sessionName;

    // The global mutex first: it is the one that another session's updater holds.
    const bool serviceSession = inServiceSession();
    for (const int which : {GLOBAL_MUTEX, SESSION_MUTEX}) {
        if (which == SESSION_MUTEX && serviceSession)
            break;
        const std::wstring& name = which == GLOBAL_MUTEX ? globalName : sessionName;
        HANDLE mutex = CreateMutexW(nullptr, TRUE, name.c_str());
        const DWORD error = GetLastError();
        if (mutex && error != ERROR_ALREADY_EXISTS) {
            m_handles[which] = mutex;
            continue;
        }
        if (mutex)
            CloseHandle(mutex);
        // Whatever was taken is given back: a refused updater holds nothing.
        closeAll(m_handles);
        // Denied access: it exists, made by another user's updater (in another session, or in
        // this one through runas), whose default security lets no other user open it.
        if (mutex || error == ERROR_ACCESS_DENIED)
            return Result::AlreadyRunning;
        m_obstacle = "mutex " + (which == GLOBAL_MUTEX ? "Global\\" + m_name : m_name) + ": " +
                     systemReason(error);
        return Result::Unavailable;
    }
    return Result::Acquired;
}

} // namespace quarvo
