#include "servicelog.h"

#include "logtext.h"

#include <QMutex>
#include <cstdio>
#include <limits>

namespace ServiceLog {

namespace {
struct State
{
    QMutex mutex; // the handler may be called from any thread
    std::vector<std::shared_ptr<Sink>> sinks;
    std::function<QDateTime()> clock; // empty: the system clock, through the cache below
    // Turning "now" into local time stats the time-zone file on every call;
    // under a burst of requests the text changes only once a second.
    qint64 stampSecond = std::numeric_limits<qint64>::min();
    QString stamp;
};

QString formatStamp(const QDateTime &when)
{
    return when.toString(QStringLiteral("yy.MM.dd-hh:mm:ss"));
}

QString currentStamp(State &s)
{
    if (s.clock)
        return formatStamp(s.clock());
    const qint64 ms = QDateTime::currentMSecsSinceEpoch();
    const qint64 second = ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
    if (second != s.stampSecond) {
        s.stamp = formatStamp(QDateTime::fromMSecsSinceEpoch(ms));
        s.stampSecond = second;
    }
    return s.stamp;
}

Entry entryWithStamp(QtMsgType type, const QString &message, const QString &stamp);

State &state()
{
    static State s;
    return s;
}
} // namespace

QString levelWord(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return QStringLiteral("DEBUG");
    case QtWarningMsg:
        return QStringLiteral("WARNING");
    case QtCriticalMsg:
        return QStringLiteral("CRITICAL");
    case QtFatalMsg:
        return QStringLiteral("FATAL");
    default:
        return QStringLiteral("INFO");
    }
}

Entry makeEntry(QtMsgType type, const QString &message, const QDateTime &when)
{
    return entryWithStamp(type, message, formatStamp(when));
}

namespace {
Entry entryWithStamp(QtMsgType type, const QString &message, const QString &stamp)
{
    Entry e;
    // A level Qt does not define is logged as information; the entry keeps
    // only levels that exist, so copying it stays defined.
    switch (type) {
    case QtDebugMsg:
    case QtWarningMsg:
    case QtCriticalMsg:
    case QtFatalMsg:
        e.level = type;
        break;
    default:
        e.level = QtInfoMsg;
    }
    // One message, one line, whatever a provider forgot to escape: a line
    // break that arrived in a datagram or a reply must not forge an entry.
    QString text = LogText::escaped(message);
    text.remove(QLatin1Char('"'));
    e.text = stamp + QStringLiteral(" >> [") + levelWord(type) + QStringLiteral("] ") + text +
             QLatin1Char('\n');
    switch (type) {
    case QtWarningMsg:
        e.type = EntryType::Warning;
        break;
    case QtCriticalMsg:
    case QtFatalMsg:
        e.type = EntryType::Error;
        break;
    default:
        e.type = EntryType::Information;
        break;
    }
    return e;
}
} // namespace

void addSink(std::shared_ptr<Sink> sink)
{
    QMutexLocker lock(&state().mutex);
    state().sinks.push_back(std::move(sink));
}

void clearSinks()
{
    QMutexLocker lock(&state().mutex);
    state().sinks.clear();
}

void setClock(std::function<QDateTime()> clock)
{
    QMutexLocker lock(&state().mutex);
    state().clock = std::move(clock);
}

void messageHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    QMutexLocker lock(&state().mutex);
    const Entry entry = entryWithStamp(type, message, currentStamp(state()));
    for (const auto &sink : state().sinks)
        sink->write(entry);
}

void StderrSink::write(const Entry &entry)
{
    const QByteArray line = entry.text.toUtf8();
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
}

} // namespace ServiceLog
