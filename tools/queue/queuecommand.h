#pragma once

#include "spool.h"

#include <QString>
#include <QStringList>

class QTextStream;

// One run of the journal tool: parses its arguments, opens the spool
// (read-only unless it retries) and writes its answer. Kept apart from main()
// so that tests run it in-process against a spool of their own.
namespace QueueCommand {

enum ExitCode
{
    ExitOk = 0,
    ExitUsage = 1,   // bad arguments; the usage text goes to err
    ExitNoSpool = 2, // the spool cannot be opened
    ExitNothing = 3, // retry found no record to put back
    ExitBusy = 4     // another program held the spool's write lock all the while
};

// How long retry waits for the spool's write lock (the service holds it for
// milliseconds; another program may hold it longer).
constexpr int DefaultBusyWaitMs = 10000;

// args without the program name; now in ms since the epoch (UTC).
int run(const QStringList &args, const QString &spoolPath, qint64 nowMs, QTextStream &out,
        QTextStream &err, int busyWaitMs = DefaultBusyWaitMs);
// now with its boot clock, so that the last hours' lengths within this boot
// are taken on it.
int run(const QStringList &args, const QString &spoolPath, const Spool::Moment &now,
        QTextStream &out, QTextStream &err, int busyWaitMs = DefaultBusyWaitMs);

// "2026-12-08T10:00:00Z" (UTC when no offset is given) or an age back from
// now: "90s", "30m", "12h", "7d". -1 when it is neither.
qint64 parseSince(const QString &text, qint64 nowMs);

// A backslash doubled, then what the service log escapes (LogText::escaped:
// control characters, U+0085, the line and paragraph separators), so one
// record stays one line.
QString escaped(const QString &text);

QString usage();

} // namespace QueueCommand
