#include "processtree.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QList>
#include <unistd.h>

namespace {

// Fields of /proc/<pid>/stat after the command name, which may hold blanks.
QList<QByteArray> statFields(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QByteArray line = f.readAll();
    const int close = line.lastIndexOf(')');
    return close < 0 ? QList<QByteArray>() : line.mid(close + 2).split(' ');
}

qint64 statusValue(const QString &path, const QByteArray &key)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &l : f.readAll().split('\n'))
        if (l.startsWith(key))
            return l.mid(key.size()).trimmed().split(' ').first().toLongLong();
    return 0;
}

QList<qint64> treeOf(qint64 root)
{
    QHash<qint64, QList<qint64>> children;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &name : entries) {
        bool ok = false;
        const qint64 pid = name.toLongLong(&ok);
        if (!ok)
            continue;
        const QList<QByteArray> f = statFields(pid);
        if (f.size() > 1)
            children[f.at(1).toLongLong()].append(pid);
    }
    QList<qint64> tree{root};
    for (int i = 0; i < tree.size() && i < 10000; ++i)
        tree += children.value(tree.at(i));
    return tree;
}

} // namespace

ProcessTreeUsage ProcessTreeUsage::read(qint64 rootPid)
{
    ProcessTreeUsage u;
    const double tick = double(sysconf(_SC_CLK_TCK));
    for (qint64 pid : treeOf(rootPid)) {
        // state ppid pgrp session tty tpgid flags minflt cminflt majflt cmajflt utime stime cutime
        // cstime
        const QList<QByteArray> f = statFields(pid);
        if (f.size() < 15)
            continue;
        ++u.processes;
        // Children already reaped count in clock ticks (10 ms); the live
        // threads by the scheduler's own nanoseconds, since an idle relay
        // uses only a few ticks a minute.
        u.cpuSeconds += (f.at(13).toLongLong() + f.at(14).toLongLong()) / tick;
        const QString rollup = QStringLiteral("/proc/%1/smaps_rollup").arg(pid);
        u.rssKb += statusValue(rollup, "Rss:");
        u.pssKb += statusValue(rollup, "Pss:");
        u.anonKb += statusValue(rollup, "Anonymous:");
        const QStringList tasks = QDir(QStringLiteral("/proc/%1/task").arg(pid))
                                      .entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        for (const QString &tid : tasks) {
            QFile sched(QStringLiteral("/proc/%1/task/%2/schedstat").arg(pid).arg(tid));
            if (sched.open(QIODevice::ReadOnly))
                u.cpuSeconds += sched.readAll().split(' ').first().toLongLong() / 1e9;
            const QString status = QStringLiteral("/proc/%1/task/%2/status").arg(pid).arg(tid);
            u.wakeups += statusValue(status, "voluntary_ctxt_switches:") +
                         statusValue(status, "nonvoluntary_ctxt_switches:");
        }
    }
    return u;
}
