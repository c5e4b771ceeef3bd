#include "systemdnotifier.h"

#include "logcategories.h"

#include <QTimer>
#include <cstring>
#include <systemd/sd-daemon.h>

namespace {
const int MaxKeepAliveMs = 10000;
}

SystemdNotifier::SystemdNotifier(QObject *parent) : QObject(parent)
{
    m_active = !qEnvironmentVariableIsEmpty("NOTIFY_SOCKET");
    if (!m_active)
        return;
    uint64_t usec = 0;
    // 0 keeps WATCHDOG_USEC in the environment; it only concerns this pid.
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
        const uint64_t third = usec / 3000;
        m_watchdogMs = int(third < MaxKeepAliveMs ? (third > 0 ? third : 1) : MaxKeepAliveMs);
        m_watchdog = new QTimer(this);
        m_watchdog->setTimerType(Qt::CoarseTimer);
        connect(m_watchdog, &QTimer::timeout, this, &SystemdNotifier::keepAlive);
        m_watchdog->start(m_watchdogMs);
    }
}

void SystemdNotifier::ready()
{
    send("READY=1");
}

void SystemdNotifier::reloading()
{
    send("RELOADING=1");
}

void SystemdNotifier::stopping()
{
    if (m_watchdog)
        m_watchdog->stop();
    send("STOPPING=1");
}

void SystemdNotifier::status(const QString &line)
{
    // One line: a line feed would start a new assignment in the message.
    QByteArray text = line.toUtf8();
    text.replace('\n', ' ');
    if (text == m_lastStatus)
        return;
    m_lastStatus = text;
    send("STATUS=" + text);
}

void SystemdNotifier::keepAlive()
{
    send("WATCHDOG=1");
}

void SystemdNotifier::send(const QByteArray &state)
{
    if (!m_active)
        return;
    const int r = sd_notify(0, state.constData());
    // Once is enough: the keep-alive would repeat it every few seconds.
    if (r < 0 && !m_failureLogged) {
        m_failureLogged = true;
        qCWarning(lcService, "[SystemdNotifier]: sd_notify(%s) failed: %s",
                  state.left(40).constData(), strerror(-r));
    }
}
