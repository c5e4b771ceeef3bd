#pragma once

#include <QDateTime>
#include <QString>
#include <QtGlobal>
#include <functional>
#include <memory>
#include <vector>

// The service log: every Qt message of the service (and of its provider plug-in)
// becomes one line "yy.MM.dd-hh:mm:ss >> [LEVEL] text". Where the line goes is
// up to the sinks installed (syslog, standard error in -exec mode, tests).
namespace ServiceLog {

enum class EntryType
{
    Information,
    Warning,
    Error
};

struct Entry
{
    QString text; // the whole line, ending in a line feed
    EntryType type = EntryType::Information;
    QtMsgType level = QtInfoMsg; // the message's own level: the journal's priority
};

class Sink
{
public:
    virtual ~Sink() = default;
    virtual void write(const Entry &entry) = 0;
};

QString levelWord(QtMsgType type);
Entry makeEntry(QtMsgType type, const QString &message, const QDateTime &when);

// Sinks receive every entry; with none installed messages are dropped.
void addSink(std::shared_ptr<Sink> sink);
void clearSinks();

// The clock the handler reads; tests fix it. An empty function restores the
// system clock.
void setClock(std::function<QDateTime()> clock);

// The Qt message handler; install with qInstallMessageHandler.
void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);

// Writes each line to standard error (used in -exec mode).
class StderrSink : public Sink
{
public:
    void write(const Entry &entry) override;
};

} // namespace ServiceLog
