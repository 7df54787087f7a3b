#include "sleep_inhibitor.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>

#include <cerrno>
#include <cstring>

#include <fcntl.h>

namespace quarvo {

int LogindBus::inhibit(const QString& what, const QString& who, const QString& why,
                       const QString& mode, QString& error)
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        error = QStringLiteral("no system bus: ") + bus.lastError().message();
        return -1;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
    call << what << who << why << mode;
    const QDBusMessage reply = bus.call(call, QDBus::Block, INHIBIT_TIMEOUT_MS);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        error = reply.errorName() + QStringLiteral(": ") + reply.errorMessage();
        return -1;
    }
    const auto lock = qdbus_cast<QDBusUnixFileDescriptor>(reply.arguments().constFirst());
    if (!lock.isValid()) {
        error = QStringLiteral("logind's answer holds no file descriptor");
        return -1;
    }
    // The answer's descriptor closes with it; the caller gets a copy of its own.
    const int descriptor = ::fcntl(lock.fileDescriptor(), F_DUPFD_CLOEXEC, 0);
    if (descriptor < 0)
        error =
            QStringLiteral("cannot keep logind's lock: ") + QString::fromLocal8Bit(strerror(errno));
    return descriptor;
}

} // namespace quarvo
