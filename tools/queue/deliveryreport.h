#pragma once

#include "pathhistory.h"

#include <QJsonObject>
#include <QMap>
#include <QString>

#include <cstdint>
#include <vector>

class QTextStream;

// The figures of a period that management and a certification body ask for:
// requests per outcome, how fast they reached the phone, how long each path
// was out of service. Read from the spool beside the running service: a
// connection of its own, read-only, and every query a short read over a range
// of ids, so the service's writes and checkpoints never wait on it.
namespace DeliveryReport {

// Durations of one kind in milliseconds, four bytes each, so that a month of
// a million requests stays within a few megabytes.
class Durations
{
public:
    struct Summary
    {
        qint64 count = 0;
        qint64 medianMs = 0; // nearest rank: the smallest value with at least
        qint64 p95Ms = 0;    // that share of all values at or below it
        qint64 p99Ms = 0;
        qint64 maxMs = 0;
    };
    void add(qint64 ms);
    void append(const Durations &other);
    Summary summary(); // sorts what it holds
    qint64 count() const { return qint64(m_ms.size()); }

private:
    std::vector<int32_t> m_ms;
};

struct Counts
{
    qint64 accepted = 0;
    qint64 delivered = 0;
    qint64 confirmed = 0;
    qint64 reportFailed = 0;
    qint64 reportTimeout = 0;
    qint64 expired = 0;
    qint64 refused = 0;
    qint64 dropped = 0;
    qint64 pending = 0;
    qint64 duplicates = 0; // deliveries after the first
    Durations toDelivered;
    Durations toConfirmed;
    QString provider; // of the records counted here, when they name one
    void merge(Counts &&other);
};

// The records received in [fromMs, toMs): per path (settings group) in byPath
// where the record names it, else per provider ("" for none) in byProvider,
// and all together in total. A duration is taken on the boot clock when both
// of its ends lie in one boot, else on the wall clock. False with error set
// on a read error.
bool readRecords(sqlite3 *db, qint64 fromMs, qint64 toMs, Counts *total,
                 QMap<QString, Counts> *byPath, QMap<QString, Counts> *byProvider, QString *error);

// A read-only connection of its own on the spool.
class Reader
{
public:
    ~Reader();
    bool open(const QString &path, QString *error);
    sqlite3 *db() const { return m_db; }

private:
    sqlite3 *m_db = nullptr;
};

// "report": the period [fromMs, toMs); now and its boot clock close what is
// still open when the period reaches now.
int report(const QString &spoolPath, qint64 fromMs, qint64 toMs, const PathHistory::Moment &now,
           bool json, QTextStream &out, QTextStream &err);

// The last 24 hours per path for "status": lines of text, or the JSON value.
void lastDay(sqlite3 *db, const PathHistory::Moment &now, QTextStream *text, QJsonObject *json);

} // namespace DeliveryReport
