#include "bootclock.h"

#include <QDateTime>
#include <QFile>

#include <time.h>

QString BootClock::bootId()
{
    static const QString id = [] {
        QFile f(QStringLiteral("/proc/sys/kernel/random/boot_id"));
        if (!f.open(QIODevice::ReadOnly))
            return QString();
        return QString::fromLatin1(f.readAll().trimmed());
    }();
    return id;
}

qint64 BootClock::bootMs()
{
    timespec ts{};
    ::clock_gettime(CLOCK_BOOTTIME, &ts);
    return qint64(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

qint64 BootClock::wallMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

qint64 BootClock::elapsedSince(qint64 wallMs, const QString &id, qint64 bootMs)
{
    if (!id.isEmpty() && id == bootId())
        return BootClock::bootMs() - bootMs;
    return BootClock::wallMs() - wallMs;
}
