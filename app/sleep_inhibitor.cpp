#include "sleep_inhibitor.h"

#include <QtGlobal>

#include <unistd.h>

namespace quarvo {

void SleepInhibitor::hold()
{
    if (!m_bus || held())
        return;
    QString error;
    m_descriptor =
        m_bus->inhibit(QStringLiteral("sleep:idle"), QStringLiteral("quarvo-updater"),
                       QString::fromUtf8("正在更新設備"), QStringLiteral("block"), error);
    if (m_descriptor < 0)
        qWarning("quarvo-updater: the computer may sleep during this update: %s",
                 qUtf8Printable(error));
}

void SleepInhibitor::release()
{
    if (!held())
        return;
    ::close(m_descriptor);
    m_descriptor = -1;
}

} // namespace quarvo
