#include "deliveryreport.h"

#include "queuecommand.h"
#include "spool.h"
#include "sqlitestatement.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTextStream>
using namespace SpoolSql;

namespace DeliveryReport {

namespace {

constexpr qint64 DayMs = 24 * 3600 * 1000;
constexpr int LostLines = 20;

QString seconds(qint64 ms)
{
    return QString::number(ms / 1000.0, 'f', 1) + QStringLiteral(" s");
}

// "3d 04:05:06", the days only when there are some.
QString span(qint64 ms)
{
    const qint64 s = ms / 1000;
    const QString clock = QStringLiteral("%1:%2:%3")
                              .arg(s / 3600 % 24, 2, 10, QLatin1Char('0'))
                              .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
                              .arg(s % 60, 2, 10, QLatin1Char('0'));
    return s >= 86400 ? QStringLiteral("%1d %2").arg(s / 86400).arg(clock) : clock;
}

QString percent(double share)
{
    return share < 0 ? QStringLiteral("no data")
                     : QString::number(share * 100.0, 'f', 2) + QStringLiteral(" %");
}

QJsonValue jsonSeconds(qint64 ms)
{
    return ms / 1000.0;
}

QJsonValue jsonShare(double share)
{
    return share < 0 ? QJsonValue(QJsonValue::Null) : QJsonValue(share);
}

QString isoTime(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODate);
}

QString localTime(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QJsonObject summaryJson(Durations::Summary s)
{
    return QJsonObject{{"count", s.count},
                       {"medianSeconds", jsonSeconds(s.medianMs)},
                       {"p95Seconds", jsonSeconds(s.p95Ms)},
                       {"p99Seconds", jsonSeconds(s.p99Ms)},
                       {"maxSeconds", jsonSeconds(s.maxMs)}};
}

QString summaryText(Durations::Summary s)
{
    return QStringLiteral("median %1, p95 %2, p99 %3, max %4 (%5 requests)")
        .arg(seconds(s.medianMs), seconds(s.p95Ms), seconds(s.p99Ms), seconds(s.maxMs))
        .arg(s.count);
}

QJsonObject countsJson(Counts &c)
{
    return QJsonObject{{"delivered", c.delivered},
                       {"confirmed", c.confirmed},
                       {"reportFailed", c.reportFailed},
                       {"reportTimeout", c.reportTimeout},
                       {"toDelivered", summaryJson(c.toDelivered.summary())},
                       {"toConfirmed", summaryJson(c.toConfirmed.summary())}};
}

void countsText(Counts &c, const QString &indent, QTextStream &out)
{
    out << indent << "accept -> delivered: " << summaryText(c.toDelivered.summary()) << '\n';
    out << indent << "accept -> confirmed: " << summaryText(c.toConfirmed.summary()) << '\n';
}

// A path of the report: its history and the records it delivered.
struct Row
{
    PathHistory::Path history;
    Counts counts;
};

QVector<Row> joinPaths(const PathHistory &history, QMap<QString, Counts> &byPath,
                       QMap<QString, Counts> &byProvider)
{
    QMap<QString, Row> rows;
    for (const PathHistory::Path &p : history.paths())
        rows[p.path].history = p;
    // Records of older versions name only their provider: the path the
    // history names for it, else a path of its own.
    for (auto it = byProvider.begin(); it != byProvider.end(); ++it) {
        if (it.key().isEmpty())
            continue; // refused or expired before any provider had it
        const QString path = history.pathOf(it.key());
        byPath[path.isEmpty() ? it.key() : path].merge(std::move(it.value()));
    }
    for (auto it = byPath.begin(); it != byPath.end(); ++it) {
        Row &row = rows[it.key()];
        row.history.path = it.key();
        if (row.history.provider.isEmpty())
            row.history.provider = it.value().provider;
        row.counts = std::move(it.value());
    }
    QVector<Row> out;
    for (Row &row : rows)
        if (row.history.knownMs() > 0 || row.counts.delivered > 0 || row.counts.confirmed > 0 ||
            row.counts.reportFailed > 0 || row.counts.reportTimeout > 0)
            out.append(std::move(row));
    return out;
}

QStringList pathStates()
{
    return {QStringLiteral("working"), QStringLiteral("paused"), QStringLiteral("down"),
            QStringLiteral("not ready"), QStringLiteral("not started")};
}

QJsonObject statesJson(const PathHistory::Path &p, const QStringList &states)
{
    QJsonObject o;
    for (const QString &s : states)
        o.insert(s, jsonSeconds(p.stateMs.value(s)));
    return o;
}

QString statesText(const PathHistory::Path &p, const QStringList &states)
{
    QStringList parts;
    for (const QString &s : states)
        parts << s + QLatin1Char(' ') + span(p.stateMs.value(s));
    return parts.join(QStringLiteral(", "));
}

void writeJson(const QString &spoolPath, qint64 fromMs, qint64 toMs, Counts &total,
               QVector<Row> &rows, const PathHistory &history, bool hasTable, QTextStream &out)
{
    QJsonArray paths;
    for (Row &row : rows) {
        QJsonObject o = countsJson(row.counts);
        o.insert("path", row.history.path);
        o.insert("provider", row.history.provider);
        o.insert("states", statesJson(row.history, pathStates()));
        o.insert("knownSeconds", jsonSeconds(row.history.knownMs()));
        o.insert("availability", jsonShare(row.history.availability()));
        o.insert("outages", row.history.outages);
        o.insert("longestOutageSeconds", jsonSeconds(row.history.longestOutageMs));
        paths.append(o);
    }
    const PathHistory::Path station = history.station();
    QJsonArray lost;
    for (const PathHistory::Episode &e : history.lostPeriods())
        lost.append(QJsonObject{{"start", isoTime(e.startMs)}, {"seconds", jsonSeconds(e.ms)}});
    QJsonObject o = countsJson(total);
    o.insert("from", isoTime(fromMs));
    o.insert("to", isoTime(toMs));
    o.insert("spool", spoolPath);
    o.insert("history", hasTable);
    o.insert("accepted", total.accepted);
    o.insert("expired", total.expired);
    o.insert("refused", total.refused);
    o.insert("dropped", total.dropped);
    o.insert("pending", total.pending);
    o.insert("duplicates", total.duplicates);
    o.insert("paths", paths);
    o.insert("station", QJsonObject{{"states", statesJson(station, {"in contact", "lost"})},
                                    {"lost", station.outages},
                                    {"longestLostSeconds", jsonSeconds(station.longestOutageMs)},
                                    {"lostPeriods", lost}});
    o.insert("unknownSeconds", jsonSeconds(history.unknownMs()));
    out << QJsonDocument(o).toJson(QJsonDocument::Indented);
}

void writeText(const QString &spoolPath, qint64 fromMs, qint64 toMs, Counts &total,
               QVector<Row> &rows, const PathHistory &history, bool hasTable, QTextStream &out)
{
    out << "report from " << localTime(fromMs) << " to " << localTime(toMs)
        << " (local time), spool " << spoolPath << '\n';
    out << "requests accepted " << total.accepted << ", delivered " << total.delivered
        << ", confirmed " << total.confirmed << ", report failed " << total.reportFailed
        << ", report timed out " << total.reportTimeout << '\n';
    out << "expired " << total.expired << ", refused " << total.refused << ", dropped "
        << total.dropped << ", pending " << total.pending << ", duplicates " << total.duplicates
        << '\n';
    countsText(total, QString(), out);
    for (Row &row : rows) {
        out << "path " << row.history.path << " (" << row.history.provider << "): delivered "
            << row.counts.delivered << ", confirmed " << row.counts.confirmed << ", report failed "
            << row.counts.reportFailed << ", report timed out " << row.counts.reportTimeout << '\n';
        countsText(row.counts, QStringLiteral("  "), out);
        out << "  " << statesText(row.history, pathStates()) << '\n';
        out << "  availability " << percent(row.history.availability()) << ", outages "
            << row.history.outages << ", longest " << span(row.history.longestOutageMs) << '\n';
    }
    const PathHistory::Path station = history.station();
    out << "station link: " << statesText(station, {"in contact", "lost"}) << ", lost "
        << station.outages << " times, longest " << span(station.longestOutageMs) << '\n';
    // A flapping link would bury the rest of the page; the JSON lists more.
    const QVector<PathHistory::Episode> lost = history.lostPeriods();
    for (int i = 0; i < lost.size() && i < LostLines; ++i)
        out << "  lost " << localTime(lost[i].startMs) << " for " << span(lost[i].ms) << '\n';
    if (station.outages > LostLines)
        out << "  and " << station.outages - LostLines << " more\n";
    out << "unknown (service not running): " << span(history.unknownMs()) << '\n';
    if (!hasTable)
        out << "no path history in this spool: the whole period counts as unknown\n";
}

bool hasHistoryTable(sqlite3 *db)
{
    Statement st(db, "SELECT 1 FROM sqlite_master WHERE type='table' AND name='path_history'");
    return st && st.step() == SQLITE_ROW;
}

} // namespace

Reader::~Reader()
{
    sqlite3_close_v2(m_db);
}

bool Reader::open(const QString &path, QString *error)
{
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &m_db, SQLITE_OPEN_READONLY,
                        nullptr) != SQLITE_OK) {
        *error = QString::fromUtf8(sqlite3_errmsg(m_db));
        return false;
    }
    // A chunk waits behind a checkpoint's moment of locking, never fails on it.
    sqlite3_busy_timeout(m_db, 5000);
    return true;
}

int report(const QString &spoolPath, qint64 fromMs, qint64 toMs, const PathHistory::Moment &now,
           bool json, QTextStream &out, QTextStream &err)
{
    Reader reader;
    QString error;
    if (!reader.open(spoolPath, &error)) {
        err << "cannot open the spool " << spoolPath << ": " << error << '\n';
        return QueueCommand::ExitNoSpool;
    }
    Counts total;
    QMap<QString, Counts> byPath, byProvider;
    PathHistory history(fromMs, toMs);
    if (!readRecords(reader.db(), fromMs, toMs, &total, &byPath, &byProvider, &error) ||
        !PathHistory::read(reader.db(), &history, &error)) {
        err << "cannot read the spool " << spoolPath << ": " << error << '\n';
        return QueueCommand::ExitNoSpool;
    }
    history.finish(toMs < now.wallMs ? PathHistory::Moment{toMs, QString(), 0} : now);
    const bool hasTable = hasHistoryTable(reader.db());
    QVector<Row> rows = joinPaths(history, byPath, byProvider);
    if (json)
        writeJson(spoolPath, fromMs, toMs, total, rows, history, hasTable, out);
    else
        writeText(spoolPath, fromMs, toMs, total, rows, history, hasTable, out);
    return QueueCommand::ExitOk;
}

void lastDay(sqlite3 *db, const PathHistory::Moment &now, QTextStream *text, QJsonObject *json)
{
    PathHistory history(now.wallMs - DayMs, now.wallMs);
    QString error;
    const bool ok = PathHistory::read(db, &history, &error);
    history.finish(now);
    if (json) {
        QJsonArray paths;
        for (const PathHistory::Path &p : history.paths())
            paths.append(QJsonObject{{"path", p.path},
                                     {"provider", p.provider},
                                     {"availability", jsonShare(p.availability())},
                                     {"outages", p.outages},
                                     {"longestOutageSeconds", jsonSeconds(p.longestOutageMs)}});
        const PathHistory::Path station = history.station();
        *json = QJsonObject{{"paths", paths},
                            {"stationLost", station.outages},
                            {"stationLostSeconds", jsonSeconds(station.stateMs.value("lost"))},
                            {"unknownSeconds", jsonSeconds(history.unknownMs())}};
        if (!ok)
            json->insert("error", error);
        return;
    }
    if (!ok) {
        *text << "last 24 h: cannot read the path history: " << error << '\n';
        return;
    }
    if (!history.hasRows()) {
        *text << "last 24 h: no path history\n";
        return;
    }
    for (const PathHistory::Path &p : history.paths())
        *text << "last 24 h, path " << p.path << " (" << p.provider << "): availability "
              << percent(p.availability()) << ", outages " << p.outages << ", longest "
              << span(p.longestOutageMs) << '\n';
    const PathHistory::Path station = history.station();
    *text << "last 24 h, station link: lost " << station.outages << " times, "
          << span(station.stateMs.value("lost")) << " in all; unknown " << span(history.unknownMs())
          << '\n';
}

} // namespace DeliveryReport
