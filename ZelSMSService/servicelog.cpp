#include "servicelog.h"

#include <QMutex>
#include <cstdio>

namespace ServiceLog {

namespace {
struct State
{
    QMutex mutex; // the handler may be called from any thread
    std::vector<std::shared_ptr<Sink>> sinks;
    std::function<QDateTime()> clock = [] { return QDateTime::currentDateTime(); };
};

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
    Entry e;
    QString text = message;
    text.remove(QLatin1Char('"'));
    e.text = when.toString(QStringLiteral("yy.MM.dd-hh:mm:ss")) + QStringLiteral(" >> [") +
             levelWord(type) + QStringLiteral("] ") + text + QLatin1Char('\n');
    switch (type) {
    case QtWarningMsg:
        e.type = EntryType::Warning;
        e.eventId = 258;
        break;
    case QtCriticalMsg:
    case QtFatalMsg:
        e.type = EntryType::Error;
        e.eventId = 259;
        break;
    default:
        e.type = EntryType::Information;
        e.eventId = 257;
        break;
    }
    return e;
}

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
    const Entry entry = makeEntry(type, message, state().clock());
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
