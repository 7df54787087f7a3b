#include "instance_guard.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace quarvo {

InstanceGuard::~InstanceGuard()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

InstanceGuard::Result InstanceGuard::acquire()
{
    const std::string directory = m_lockDirectory.empty() ? "/tmp" : m_lockDirectory;
    const std::string path = directory + "/" + m_name + "-" + std::to_string(::getuid()) + ".lock";
    m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (m_fd < 0)
        return Result::Unavailable;
    if (::flock(m_fd, LOCK_EX | LOCK_NB) == 0)
        return Result::Acquired;
    const int error = errno;
    ::close(m_fd);
    m_fd = -1;
    return error == EWOULDBLOCK ? Result::AlreadyRunning : Result::Unavailable;
}

} // namespace quarvo
