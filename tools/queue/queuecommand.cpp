#include "queuecommand.h"

#include "deliveryreport.h"
#include "logtext.h"
#include "pathstatusfile.h"
#include "spool.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTextStream>

namespace QueueCommand {

namespace {

QString isoTime(qint64 ms)
{
    return ms > 0 ? QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODate) : QString();
}

QJsonValue isoOrNull(qint64 ms)
{
    return ms > 0 ? QJsonValue(isoTime(ms)) : QJsonValue(QJsonValue::Null);
}

QJsonObject recordJson(const Spool::Record &r)
{
    return QJsonObject{
        {"id", r.id},
        {"state", QString::fromLatin1(Spool::stateName(r.state))},
        {"phone", r.phone},
        {"text", r.text},
        {"provider", r.provider},
        {"path", r.path.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(r.path)},
        {"received", isoTime(r.receivedMs)},
        {"final", isoOrNull(r.finalMs)},
        {"attempts", r.attempts},
        {"duplicates", r.duplicates},
        {"lastError", r.lastError},
        {"lastErrorProvider", r.errorProvider},
        {"requestId", qint64(r.requestId)},
        {"source", r.source},
        {"encoding", r.encoding},
        {"report", QString::fromLatin1(Spool::reportName(r.report))},
        {"reportTime", isoOrNull(r.reportMs)},
        {"reportRefs", r.reportRefs},
        {"reportText", r.reportText}};
}

QString valueOf(const QStringList &args, const QString &name, bool *missing)
{
    const int at = args.indexOf(name);
    if (at < 0)
        return QString();
    if (at + 1 >= args.size()) {
        *missing = true;
        return QString();
    }
    return args.at(at + 1);
}

QString orNone(const QString &text)
{
    return text.isEmpty() ? QStringLiteral("none") : escaped(text);
}

// The running service's paths, from the file it keeps beside the spool. A
// file that cannot be read is said so; the spool's figures stand anyway.
void servicePathsText(const PathStatusFile::Reading &r, const QString &file, qint64 nowMs,
                      QTextStream &out)
{
    if (r.service == PathStatusFile::Reading::Unreadable) {
        out << "service: cannot read " << escaped(file) << ": " << escaped(r.error) << '\n';
        return;
    }
    if (r.service == PathStatusFile::Reading::NotRunning) {
        out << "service: not running";
        if (r.pid > 0)
            out << " (pid " << r.pid << " is gone; it wrote its paths at " << isoTime(r.writtenMs)
                << ')';
        out << '\n';
        return;
    }
    out << "service: running, pid " << r.pid << ", paths as of " << isoTime(r.writtenMs);
    const qint64 age = nowMs - r.writtenMs;
    if (age > PathStatusFile::FreshMs)
        out << " (" << age / 1000 << " s ago)";
    out << '\n';
    for (const PathStatus &p : r.paths) {
        out << "now, path " << (p.group.isEmpty() ? QStringLiteral("-") : escaped(p.group)) << " ("
            << (p.providerId.isEmpty() ? QStringLiteral("-") : escaped(p.providerId)) << "): tier "
            << p.tier + 1 << ", " << escaped(p.state);
        if (p.hasWord)
            out << ", modem " << QStringLiteral("0x%1").arg(p.word, 8, 16, QLatin1Char('0')) << ' '
                << PathStatus::describeWord(p.word);
        out << ", waiting " << p.waiting << ", in flight " << p.inFlight
            << ", delivered since start " << p.delivered << ", last error " << orNone(p.lastError)
            << '\n';
    }
}

void servicePathsJson(const PathStatusFile::Reading &r, QJsonObject *o)
{
    const bool known = r.service != PathStatusFile::Reading::Unreadable;
    const bool running = r.service == PathStatusFile::Reading::Running;
    o->insert("service",
              QJsonObject{{"running", known ? QJsonValue(running) : QJsonValue(QJsonValue::Null)},
                          {"pid", r.pid > 0 ? QJsonValue(r.pid) : QJsonValue(QJsonValue::Null)},
                          {"writtenAt", isoOrNull(r.writtenMs)},
                          {"error", r.error}});
    QJsonArray paths;
    for (const PathStatus &p : r.paths)
        paths.append(QJsonObject{
            {"tier", p.tier + 1},
            {"group", p.group},
            {"provider", p.providerId},
            {"state", p.state},
            {"statusCode", p.providerStatus},
            {"deviceWord", p.hasWord ? QJsonValue(qint64(p.word)) : QJsonValue(QJsonValue::Null)},
            {"modem", p.hasWord ? QJsonValue(PathStatus::describeWord(p.word))
                                : QJsonValue(QJsonValue::Null)},
            {"waiting", p.waiting},
            {"inFlight", p.inFlight},
            {"delivered", p.delivered},
            {"lastError", p.lastError}});
    o->insert("paths", paths);
}

int status(Spool &spool, bool json, const PathHistory::Moment &now, QTextStream &out)
{
    const qint64 nowMs = now.wallMs;
    DeliveryReport::Reader reader;
    QString readerError;
    const bool canRead = reader.open(spool.path(), &readerError);
    const Spool::Status s = spool.status();
    const QVector<Spool::ProviderStats> providers = spool.providerStats();
    const QString pathsFile = PathStatusFile::pathFor(spool.path());
    const PathStatusFile::Reading live = PathStatusFile::read(pathsFile);
    const qint64 oldest =
        s.oldestPendingMs > 0 ? qMax<qint64>(0, nowMs - s.oldestPendingMs) / 1000 : -1;
    if (json) {
        QJsonObject counts;
        for (int i = 0; i < Spool::StateCount; ++i)
            counts.insert(QString::fromLatin1(Spool::stateName(i)), s.counts[i]);
        QJsonObject reports;
        for (int i = 0; i < ReportStateCount; ++i)
            reports.insert(QString::fromLatin1(Spool::reportName(i)), s.reports[i]);
        QJsonArray perProvider;
        for (const Spool::ProviderStats &p : providers)
            perProvider.append(QJsonObject{{"provider", p.provider},
                                           {"delivered", p.delivered},
                                           {"lastDelivery", isoOrNull(p.lastDeliveryMs)},
                                           {"lastError", p.lastError}});
        QJsonObject o{{"counts", counts},
                      {"reports", reports},
                      {"oldestPendingSeconds",
                       oldest >= 0 ? QJsonValue(oldest) : QJsonValue(QJsonValue::Null)},
                      {"lastDelivery", isoOrNull(s.lastDeliveryMs)},
                      {"lastError", s.lastError},
                      {"lastErrorProvider", s.lastErrorProvider},
                      {"providers", perProvider},
                      {"spool", spool.path()}};
        QJsonObject day{{"error", readerError}};
        if (canRead)
            DeliveryReport::lastDay(reader.db(), now, nullptr, &day);
        o.insert("last24h", day);
        servicePathsJson(live, &o);
        out << QJsonDocument(o).toJson(QJsonDocument::Indented);
        return ExitOk;
    }
    out << "spool: " << spool.path() << '\n';
    for (int i = 0; i < Spool::StateCount; ++i)
        out << QStringLiteral("%1 %2\n")
                   .arg(QString::fromLatin1(Spool::stateName(i)), -10)
                   .arg(s.counts[i]);
    out << "reports:";
    for (int i = 0; i < ReportStateCount; ++i)
        out << ' ' << Spool::reportName(i) << '=' << s.reports[i];
    out << '\n';
    out << "oldest pending: "
        << (oldest >= 0 ? QStringLiteral("%1 s").arg(oldest) : QStringLiteral("none")) << '\n';
    out << "last delivery: "
        << (s.lastDeliveryMs > 0 ? isoTime(s.lastDeliveryMs) : QStringLiteral("never")) << '\n';
    out << "last error: "
        << (s.lastError.isEmpty() ? QStringLiteral("none") : escaped(s.lastError));
    if (!s.lastErrorProvider.isEmpty())
        out << " (" << s.lastErrorProvider << ')';
    out << '\n';
    for (const Spool::ProviderStats &p : providers)
        out << QStringLiteral("provider %1: delivered %2, last delivery %3, last error %4\n")
                   .arg(p.provider)
                   .arg(p.delivered)
                   .arg(p.lastDeliveryMs > 0 ? isoTime(p.lastDeliveryMs) : QStringLiteral("never"),
                        p.lastError.isEmpty() ? QStringLiteral("none") : escaped(p.lastError));
    if (canRead)
        DeliveryReport::lastDay(reader.db(), now, &out, nullptr);
    else
        out << "last 24 h: " << readerError << '\n';
    servicePathsText(live, pathsFile, nowMs, out);
    return ExitOk;
}

int list(Spool &spool, const QStringList &args, bool json, qint64 nowMs, QTextStream &out,
         QTextStream &err)
{
    bool missing = false;
    const QString stateText = valueOf(args, QStringLiteral("--state"), &missing);
    const QString sinceText = valueOf(args, QStringLiteral("--since"), &missing);
    const QString limitText = valueOf(args, QStringLiteral("--limit"), &missing);
    if (missing) {
        err << "an option lacks its value\n" << usage();
        return ExitUsage;
    }
    const int state = stateText.isEmpty() ? -1 : Spool::stateFromName(stateText);
    if (!stateText.isEmpty() && state < 0) {
        err << "unknown state \"" << stateText
            << "\"; one of queued, handed, delivered, dropped, rejected, expired\n";
        return ExitUsage;
    }
    const qint64 since = sinceText.isEmpty() ? 0 : parseSince(sinceText, nowMs);
    if (since < 0) {
        err << "--since takes a time such as 2026-12-08T10:00:00Z or an age such as 30m, 12h, 7d\n";
        return ExitUsage;
    }
    bool ok = true;
    const int limit = limitText.isEmpty() ? 100 : limitText.toInt(&ok);
    if (!ok || limit <= 0) {
        err << "--limit takes a positive number\n";
        return ExitUsage;
    }
    const QVector<Spool::Record> records = spool.list(state, since, limit);
    if (json) {
        QJsonArray a;
        for (const Spool::Record &r : records)
            a.append(recordJson(r));
        out << QJsonDocument(a).toJson(QJsonDocument::Indented);
        return ExitOk;
    }
    for (const Spool::Record &r : records) {
        out << QStringLiteral("%1 %2 %3 attempts=%4 provider=%5 to=%6 \"%7\"")
                   .arg(r.id)
                   .arg(isoTime(r.receivedMs), QString::fromLatin1(Spool::stateName(r.state)))
                   .arg(r.attempts)
                   .arg(r.provider.isEmpty() ? QStringLiteral("-") : r.provider, escaped(r.phone),
                        escaped(r.text));
        // The settings group, where the record names it: two paths may run one provider.
        if (!r.path.isEmpty())
            out << " path=" << escaped(r.path);
        if (r.report != ReportNone)
            out << " report=" << Spool::reportName(r.report)
                << (r.reportMs > 0 ? QLatin1Char('@') + isoTime(r.reportMs) : QString());
        if (!r.reportRefs.isEmpty())
            out << " report_refs=\"" << escaped(r.reportRefs) << '"';
        if (!r.reportText.isEmpty())
            out << " report_text=\"" << escaped(r.reportText) << '"';
        if (!r.lastError.isEmpty())
            out << " error=\"" << escaped(r.lastError) << '"';
        if (!r.errorProvider.isEmpty())
            out << " error_provider=" << r.errorProvider;
        out << '\n';
    }
    return ExitOk;
}

int busy(const QString &path, int waitedMs, QTextStream &err)
{
    err << "the spool " << path << " is busy: another program held its write lock for "
        << QString::number(waitedMs / 1000.0, 'f', 1)
        << " s; nothing was changed, try again later\n";
    return ExitBusy;
}

int retry(const QString &path, const QStringList &args, qint64 nowMs, QTextStream &out,
          QTextStream &err, int busyWaitMs)
{
    const QString what = args.value(1);
    bool isId = false;
    const qint64 id = what.toLongLong(&isId);
    if (what != QLatin1String("--dropped") && (!isId || id <= 0)) {
        err << "retry takes a record id or --dropped\n" << usage();
        return ExitUsage;
    }
    Spool spool;
    spool.setBusyTimeoutMs(busyWaitMs);
    if (!QFile::exists(path) || !spool.open(path)) {
        if (spool.busy())
            return busy(path, busyWaitMs, err);
        err << "cannot open the spool " << path << ": "
            << (spool.error().isEmpty() ? QStringLiteral("no such file") : spool.error()) << '\n';
        return ExitNoSpool;
    }
    // The age counts again from now on the boot clock too, whatever the
    // wall clock says.
    const Spool::Moment at{nowMs, Spool::now().bootId, Spool::now().bootMs};
    const int changed = isId ? spool.retry(id, at) : spool.retryDropped(at);
    if (changed < 0 && spool.busy())
        return busy(path, busyWaitMs, err);
    if (changed < 0) {
        err << "cannot change the spool: " << spool.error() << '\n';
        return ExitNoSpool;
    }
    if (changed == 0) {
        err << (isId ? QStringLiteral(
                           "record %1 is not dropped, expired, or delivered with a failed or "
                           "timed-out report\n")
                           .arg(id)
                     : QStringLiteral("no dropped records\n"));
        return ExitNothing;
    }
    out << "queued again: " << changed << " (the running service sends them within seconds)\n";
    return ExitOk;
}

PathHistory::Moment momentOf(const Spool::Moment &m)
{
    return PathHistory::Moment{m.wallMs, m.bootId, m.bootMs};
}

qint64 localMidnight(const QDate &date)
{
    return QDateTime(date, QTime(0, 0), Qt::LocalTime).toMSecsSinceEpoch();
}

// The period of "report": a calendar month, or whole days from --from through
// --to, in local time, as the people who read it count them.
bool reportPeriod(const QStringList &args, qint64 nowMs, qint64 *fromMs, qint64 *toMs,
                  QString *error)
{
    bool missing = false;
    const QString month = valueOf(args, QStringLiteral("--month"), &missing);
    const QString from = valueOf(args, QStringLiteral("--from"), &missing);
    const QString to = valueOf(args, QStringLiteral("--to"), &missing);
    if (missing) {
        *error = QStringLiteral("an option lacks its value");
        return false;
    }
    if (!month.isEmpty() && (!from.isEmpty() || !to.isEmpty())) {
        *error = QStringLiteral("--month goes without --from and --to");
        return false;
    }
    if (from.isEmpty() && !to.isEmpty()) {
        *error = QStringLiteral("--to needs --from");
        return false;
    }
    if (!from.isEmpty()) {
        const QDate first = QDate::fromString(from, QStringLiteral("yyyy-MM-dd"));
        const QDate last = QDate::fromString(to, QStringLiteral("yyyy-MM-dd"));
        if (!first.isValid() || (!to.isEmpty() && !last.isValid())) {
            *error = QStringLiteral("--from and --to take dates such as 2026-11-01");
            return false;
        }
        *fromMs = localMidnight(first);
        *toMs = to.isEmpty() ? nowMs : localMidnight(last.addDays(1));
    } else {
        QDate first =
            QDate::fromString(month + QStringLiteral("-01"), QStringLiteral("yyyy-MM-dd"));
        if (month.isEmpty()) {
            const QDate today = QDateTime::fromMSecsSinceEpoch(nowMs).date();
            first = QDate(today.year(), today.month(), 1).addMonths(-1);
        }
        if (!first.isValid()) {
            *error = QStringLiteral("--month takes a month such as 2026-11");
            return false;
        }
        *fromMs = localMidnight(first);
        *toMs = localMidnight(first.addMonths(1));
    }
    if (*toMs <= *fromMs) {
        *error = QStringLiteral("the period ends before it begins");
        return false;
    }
    return true;
}

int report(const QString &path, const QStringList &args, bool json, const Spool::Moment &now,
           QTextStream &out, QTextStream &err)
{
    qint64 fromMs = 0, toMs = 0;
    QString error;
    if (!reportPeriod(args, now.wallMs, &fromMs, &toMs, &error)) {
        err << error << '\n' << usage();
        return ExitUsage;
    }
    // The schema is checked as for every reading command; the report then
    // reads through a connection of its own, in short chunks.
    Spool spool;
    if (!spool.openReadOnly(path)) {
        err << "cannot open the spool " << path << ": " << spool.error() << '\n';
        return ExitNoSpool;
    }
    spool.close();
    return DeliveryReport::report(path, fromMs, toMs, momentOf(now), json, out, err);
}

} // namespace

QString usage()
{
    return QStringLiteral(
        "usage: ZelSMSQueue [--db FILE] [--json] status\n"
        "       ZelSMSQueue [--db FILE] [--json] list [--state S] [--since T] [--limit N]\n"
        "       ZelSMSQueue [--db FILE] retry ID|--dropped\n"
        "       ZelSMSQueue [--db FILE] [--json] report [--month YYYY-MM | --from DATE [--to "
        "DATE]]\n"
        "states: queued handed delivered dropped rejected expired\n"
        "T: 2026-12-08T10:00:00Z (UTC unless an offset is given) or an age: 90s, 30m, 12h, 7d\n");
}

QString escaped(const QString &text)
{
    // Backslashes doubled first, so that a backslash followed by "n" in a
    // text stays apart from a line break; the rest is the service log's.
    QString out = text;
    out.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    return LogText::escaped(out);
}

qint64 parseSince(const QString &text, qint64 nowMs)
{
    static const QRegularExpression age(QStringLiteral("^(\\d{1,9})([smhd])$"));
    const QRegularExpressionMatch m = age.match(text);
    if (m.hasMatch()) {
        const qint64 n = m.captured(1).toLongLong();
        const QChar unit = m.captured(2).at(0);
        const qint64 unitMs = unit == 's'   ? 1000
                              : unit == 'm' ? 60000
                              : unit == 'h' ? 3600000
                                            : 86400000;
        return qMax<qint64>(0, nowMs - n * unitMs);
    }
    QDateTime t = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!t.isValid())
        return -1;
    if (t.timeSpec() == Qt::LocalTime)
        t.setTimeSpec(Qt::UTC);
    return t.toMSecsSinceEpoch();
}

int run(const QStringList &args, const QString &spoolPath, qint64 nowMs, QTextStream &out,
        QTextStream &err, int busyWaitMs)
{
    return run(args, spoolPath, Spool::Moment{nowMs, QString(), 0}, out, err, busyWaitMs);
}

int run(const QStringList &argsIn, const QString &spoolPath, const Spool::Moment &now,
        QTextStream &out, QTextStream &err, int busyWaitMs)
{
    const qint64 nowMs = now.wallMs;
    QStringList args = argsIn;
    const bool json = args.removeAll(QStringLiteral("--json")) > 0;
    const QString command = args.value(0);
    if (command == QLatin1String("retry"))
        return retry(spoolPath, args, nowMs, out, err, busyWaitMs);
    if (command == QLatin1String("report"))
        return report(spoolPath, args, json, now, out, err);
    if (command != QLatin1String("status") && command != QLatin1String("list")) {
        if (command == QLatin1String("-h") || command == QLatin1String("--help")) {
            out << usage();
            return ExitOk;
        }
        err << usage();
        return ExitUsage;
    }
    Spool spool;
    if (!spool.openReadOnly(spoolPath)) {
        err << "cannot open the spool " << spoolPath << ": " << spool.error() << '\n';
        return ExitNoSpool;
    }
    return command == QLatin1String("status") ? status(spool, json, momentOf(now), out)
                                              : list(spool, args, json, nowMs, out, err);
}

} // namespace QueueCommand
