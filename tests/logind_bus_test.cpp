// LogindBus (sd-bus) through a real D-Bus daemon (run under dbus-run-session), whose bus stands in
// for the system bus, with a logind of the test's own on it (served with QtDBus): the call logind
// gets, the lock it hands out, and the lock's end when the hold is given back.
#include "platform/system_hold.h"

#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QTest>
#include <QThread>

#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <unistd.h>

using namespace quarvo;

namespace {

constexpr int LOCK_END_TIMEOUT_MS = 10000;

// logind's Inhibit: hands out the write end of a pipe and keeps the read end, from which the test
// tells when every copy of the lock has been closed. Runs on a thread of its own, since the
// window's call blocks the thread it is made on.
class FakeLogind : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")
public:
    ~FakeLogind() override
    {
        if (m_readEnd >= 0)
            ::close(m_readEnd);
    }
    QStringList call() const
    {
        const std::lock_guard lock(m_mutex);
        return m_call;
    }
    // Whether the lock handed out is still held somewhere; waits up to `timeoutMs` for its end.
    bool lockHeld(int timeoutMs) const
    {
        int readEnd;
        {
            const std::lock_guard lock(m_mutex);
            readEnd = m_readEnd;
        }
        pollfd end{readEnd, POLLIN, 0};
        return ::poll(&end, 1, timeoutMs) == 0;
    }

public slots:
    QDBusUnixFileDescriptor Inhibit(const QString& what, const QString& who, const QString& why,
                                    const QString& mode)
    {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0)
            return {};
        const QDBusUnixFileDescriptor lock(ends[1]); // a copy of its own
        ::close(ends[1]);
        const std::lock_guard guard(m_mutex);
        m_call = {what, who, why, mode};
        m_readEnd = ends[0];
        return lock;
    }

private:
    mutable std::mutex m_mutex;
    QStringList m_call;
    int m_readEnd = -1;
};

} // namespace

class LogindBusTest : public QObject {
    Q_OBJECT
    QThread m_serviceThread;
    FakeLogind* m_logind = nullptr;

private slots:
    void initTestCase()
    {
        const QByteArray address = qgetenv("DBUS_SESSION_BUS_ADDRESS");
        QVERIFY2(!address.isEmpty(), "run under dbus-run-session");
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", address);
    }

    void withoutLogindTheCallIsRefused()
    {
        LogindBus bus;
        SystemHold hold(&bus);
        const std::string warning = hold.take();
        QVERIFY(!hold.held());
        QVERIFY2(warning.find("may sleep or shut down") != std::string::npos, warning.c_str());
        QVERIFY2(warning.find("org.freedesktop.login1") != std::string::npos, warning.c_str());
    }

    void theLockIsTakenAndGivenBack()
    {
        m_logind = new FakeLogind;
        m_logind->moveToThread(&m_serviceThread);
        m_serviceThread.start();
        QDBusConnection service = QDBusConnection::connectToBus(
            QString::fromLocal8Bit(qgetenv("DBUS_SESSION_BUS_ADDRESS")),
            QStringLiteral("fake-logind"));
        QVERIFY(service.isConnected());
        QVERIFY(service.registerObject(QStringLiteral("/org/freedesktop/login1"), m_logind,
                                       QDBusConnection::ExportAllSlots));
        QVERIFY(service.registerService(QStringLiteral("org.freedesktop.login1")));

        LogindBus bus;
        {
            SystemHold hold(&bus);
            QCOMPARE(QString::fromStdString(hold.take()), QString());
            QVERIFY(hold.held());
            QCOMPARE(m_logind->call(),
                     (QStringList{QStringLiteral("shutdown:sleep:idle:handle-power-key:handle-"
                                                 "suspend-key:handle-hibernate-key:handle-lid-"
                                                 "switch"),
                                  QStringLiteral("quarvo-updater"), QString::fromUtf8(INHIBIT_WHY),
                                  QStringLiteral("block")}));
            QVERIFY(m_logind->lockHeld(0));
            QCOMPARE(QString::fromStdString(hold.take()), QString()); // logind is not asked twice
            hold.release();
            QVERIFY(!hold.held());
        }
        QVERIFY(!m_logind->lockHeld(LOCK_END_TIMEOUT_MS));
    }

    void cleanupTestCase()
    {
        m_serviceThread.quit();
        m_serviceThread.wait();
        delete m_logind;
    }
};

QTEST_GUILESS_MAIN(LogindBusTest)
#include "logind_bus_test.moc"
