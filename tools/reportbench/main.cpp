// Benchmark of "ZelSMSQueue report": builds a spool of a month's records and
// path history straight through SQLite, times the report over it and takes
// its peak memory; with --udpbench, floods a real service on that spool at a
// fixed rate, alone and while reports run, in turns (--rounds), so the two
// ack latencies can be held side by side on a machine whose noise comes and
// goes. A program, not a test.

#include "spool.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDate>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <random>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

bool exec(sqlite3 *db, const char *sql)
{
    char *error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) == SQLITE_OK)
        return true;
    std::fprintf(stderr, "%s: %s\n", sql, error);
    sqlite3_free(error);
    return false;
}

qint64 monthStart()
{
    return QDateTime(QDate(2026, 11, 1), QTime(0, 0), Qt::LocalTime).toMSecsSinceEpoch();
}

// Records as the service leaves them: final, most on the modem with a
// confirmed report, some on the gateway, a few expired or refused.
bool fillRecords(sqlite3 *db, int count)
{
    sqlite3_stmt *st = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO records(received, request_id, source, phone, phone_bytes, "
                       "text_bytes, text_length, encoding, text, state, provider, final, since, "
                       "report, report_time) VALUES(?1, ?2, '127.0.0.1', '79001234567', "
                       "zeroblob(15), zeroblob(224), 28, 1, 'Alarm: site 1024, zone 3', ?3, ?4, "
                       "?5, ?1, ?6, ?7)",
                       -1, &st, nullptr);
    std::mt19937 random(42);
    std::lognormal_distribution<double> seconds(1.5, 0.6);
    const qint64 span = 30LL * 86400 * 1000;
    for (int i = 0; i < count; ++i) {
        const qint64 received = monthStart() + span * i / count;
        const int kind = int(random() % 1000);
        const char *state = kind < 995 ? "delivered" : kind < 998 ? "expired" : "rejected";
        const char *provider = kind < 900 ? "GSMModem" : kind < 995 ? "SmsRU" : "";
        const qint64 delivered = received + qint64(seconds(random) * 1000);
        sqlite3_bind_int64(st, 1, received);
        sqlite3_bind_int64(st, 2, i);
        sqlite3_bind_text(st, 3, state, -1, SQLITE_STATIC);
        sqlite3_bind_text(st, 4, provider, -1, SQLITE_STATIC);
        sqlite3_bind_int64(st, 5, delivered);
        sqlite3_bind_text(st, 6, kind < 850 ? "confirmed" : "none", -1, SQLITE_STATIC);
        if (kind < 850)
            sqlite3_bind_int64(st, 7, delivered + qint64(seconds(random) * 3000));
        else
            sqlite3_bind_null(st, 7);
        if (sqlite3_step(st) != SQLITE_DONE) {
            std::fprintf(stderr, "insert: %s\n", sqlite3_errmsg(db));
            sqlite3_finalize(st);
            return false;
        }
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    return true;
}

// A path history of many short outages, the station link's losses and a
// restart now and then, some of them crashes.
bool fillHistory(sqlite3 *db, int count)
{
    if (!exec(db, "CREATE TABLE IF NOT EXISTS path_history(id INTEGER PRIMARY KEY, path TEXT NOT "
                  "NULL, provider TEXT NOT NULL, state TEXT NOT NULL, reason TEXT, wall_ms "
                  "INTEGER NOT NULL, boot_id TEXT, boot_ms INTEGER); CREATE INDEX IF NOT EXISTS "
                  "path_history_wall ON path_history(wall_ms);"))
        return false;
    sqlite3_stmt *st = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO path_history(path, provider, state, wall_ms, boot_id, "
                       "boot_ms) VALUES(?, ?, ?, ?, 'bench-boot', ?)",
                       -1, &st, nullptr);
    struct Step
    {
        const char *path, *provider, *state;
    };
    const Step cycle[] = {{"Modem", "GSMModem", "down"},
                          {"Modem", "GSMModem", "working"},
                          {"station", "", "lost"},
                          {"station", "", "in contact"},
                          {"SmsRU", "SmsRU", "paused"},
                          {"SmsRU", "SmsRU", "working"},
                          {"Modem", "GSMModem", "not ready"},
                          {"Modem", "GSMModem", "working"},
                          {"", "", "service stopped"},
                          {"", "", "service started"},
                          {"Modem", "GSMModem", "working"},
                          {"SmsRU", "SmsRU", "working"},
                          {"station", "", "in contact"},
                          {"", "", "service started"},
                          {"Modem", "GSMModem", "working"},
                          {"SmsRU", "SmsRU", "working"}};
    const int cycleSize = int(sizeof cycle / sizeof cycle[0]);
    const qint64 span = 30LL * 86400 * 1000;
    for (int i = 0; i < count; ++i) {
        const Step &s = cycle[i % cycleSize];
        const qint64 at = monthStart() + span * i / count;
        sqlite3_bind_text(st, 1, s.path, -1, SQLITE_STATIC);
        sqlite3_bind_text(st, 2, s.provider, -1, SQLITE_STATIC);
        sqlite3_bind_text(st, 3, s.state, -1, SQLITE_STATIC);
        sqlite3_bind_int64(st, 4, at);
        sqlite3_bind_int64(st, 5, at - monthStart());
        if (sqlite3_step(st) != SQLITE_DONE) {
            std::fprintf(stderr, "history: %s\n", sqlite3_errmsg(db));
            sqlite3_finalize(st);
            return false;
        }
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    return true;
}

bool buildSpool(const QString &path, int records, int history)
{
    {
        Spool spool;
        if (!spool.open(path)) {
            std::fprintf(stderr, "cannot create %s: %s\n", qPrintable(path),
                         qPrintable(spool.error()));
            return false;
        }
    }
    sqlite3 *db = nullptr;
    sqlite3_open(QFile::encodeName(path).constData(), &db);
    const bool ok = exec(db, "PRAGMA synchronous=OFF; BEGIN") && fillRecords(db, records) &&
                    fillHistory(db, history) && exec(db, "COMMIT") &&
                    exec(db, "PRAGMA wal_checkpoint(TRUNCATE)");
    sqlite3_close(db);
    return ok;
}

struct Run
{
    double seconds = 0;
    double cpuSeconds = 0; // the machine is shared: what the report itself took
    long maxRssKb = 0;
    int status = -1;
};

// One report in a child of its own, so its peak memory is its own.
Run runReport(const QString &queue, const QString &spool, bool json)
{
    QElapsedTimer timer;
    timer.start();
    const pid_t pid = fork();
    if (pid == 0) {
        freopen("/dev/null", "w", stdout);
        const QByteArray q = QFile::encodeName(queue), s = QFile::encodeName(spool);
        if (json)
            execl(q.constData(), q.constData(), "--db", s.constData(), "--json", "report",
                  "--month", "2026-11", static_cast<char *>(nullptr));
        else
            execl(q.constData(), q.constData(), "--db", s.constData(), "report", "--month",
                  "2026-11", static_cast<char *>(nullptr));
        _exit(127);
    }
    Run r;
    struct rusage usage = {};
    int status = 0;
    if (pid > 0 && wait4(pid, &status, 0, &usage) == pid) {
        r.seconds = timer.elapsed() / 1000.0;
        r.maxRssKb = usage.ru_maxrss;
        r.cpuSeconds = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                       (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return r;
}

// ZelUdpBench at one rate on the spool; reportsAlongside: reports one after
// another while it floods. Its output goes to ours; returns its p99 in ms,
// -1 when it printed none.
double udpBench(const QString &bench, const QString &stateDir, const QString &queue,
                const QString &rate, bool reportsAlongside)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(bench, {"--state-dir", stateDir, "--keep-state", "--rates", rate, "--seconds", "10",
                    "--idle", "0"});
    if (!p.waitForStarted(5000))
        return -1;
    // Reports one after another through the flood (10 s after the service's
    // start), not through the service's stop that follows.
    QElapsedTimer flood;
    flood.start();
    int reports = 0;
    while (reportsAlongside && p.state() == QProcess::Running && flood.elapsed() < 15000 &&
           reports < 50) {
        const Run r = runReport(queue, stateDir + QStringLiteral("/spool.db"), false);
        std::printf("report alongside: seconds=%.2f cpu_seconds=%.2f exit=%d\n", r.seconds,
                    r.cpuSeconds, r.status);
        std::fflush(stdout);
        ++reports;
    }
    p.waitForFinished(120000);
    const QByteArray output = p.readAll();
    std::fwrite(output.constData(), 1, size_t(output.size()), stdout);
    std::fflush(stdout);
    static const QRegularExpression p99(QStringLiteral("p99_ms=([0-9.]+)"));
    const QRegularExpressionMatch m = p99.match(QString::fromUtf8(output));
    return m.hasMatch() ? m.captured(1).toDouble() : -1;
}

QString listed(QVector<double> values)
{
    std::sort(values.begin(), values.end());
    QStringList out;
    for (double v : values)
        out << QString::number(v, 'f', 1);
    return out.join(QStringLiteral(", ")) +
           QStringLiteral(" (median %1)").arg(values.value(values.size() / 2), 0, 'f', 1);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral("Times ZelSMSQueue report over a large spool."));
    p.addHelpOption();
    const QCommandLineOption queueOpt("queue", "ZelSMSQueue binary.", "path",
                                      QCoreApplication::applicationDirPath() + "/ZelSMSQueue");
    const QCommandLineOption recordsOpt("records", "Records in the spool.", "n", "1000000");
    const QCommandLineOption historyOpt("history", "Path history rows.", "n", "100000");
    const QCommandLineOption udpOpt("udpbench",
                                    "ZelUdpBench binary: ack latency with and "
                                    "without reports running.",
                                    "path");
    const QCommandLineOption rateOpt("rate", "ZelUdpBench's rate.", "n", "5000");
    const QCommandLineOption roundsOpt("rounds",
                                       "Floods alone and with reports, in turns; the first "
                                       "flood alone warms the file and is not counted.",
                                       "n", "3");
    const QCommandLineOption stateOpt("state-dir",
                                      "Keep the spool in this folder; one found there is used "
                                      "as it is (the default: a temporary folder).",
                                      "dir");
    p.addOptions({queueOpt, recordsOpt, historyOpt, udpOpt, rateOpt, roundsOpt, stateOpt});
    p.process(app);

    QTemporaryDir temporary;
    const QString stateDir = p.isSet(stateOpt) ? p.value(stateOpt) : temporary.filePath("state");
    const QString spool = stateDir + QStringLiteral("/spool.db");
    QElapsedTimer timer;
    timer.start();
    if (!QFile::exists(spool) &&
        !buildSpool(spool, p.value(recordsOpt).toInt(), p.value(historyOpt).toInt()))
        return 1;
    std::printf("spool records=%d history=%d built_s=%.1f size_mb=%.0f\n",
                p.value(recordsOpt).toInt(), p.value(historyOpt).toInt(), timer.elapsed() / 1000.0,
                QFile(spool).size() / 1048576.0);
    std::fflush(stdout);
    for (bool json : {false, true}) {
        for (int i = 0; i < 3; ++i) {
            const Run r = runReport(p.value(queueOpt), spool, json);
            std::printf("report %s run=%d seconds=%.2f cpu_seconds=%.2f max_rss_mb=%.1f exit=%d\n",
                        json ? "json" : "text", i + 1, r.seconds, r.cpuSeconds, r.maxRssKb / 1024.0,
                        r.status);
            std::fflush(stdout);
        }
    }
    if (p.isSet(udpOpt)) {
        std::printf("ZelUdpBench alone, warming the file:\n");
        std::fflush(stdout);
        udpBench(p.value(udpOpt), stateDir, p.value(queueOpt), p.value(rateOpt), false);
        QVector<double> alone, alongside;
        const int rounds = qBound(1, p.value(roundsOpt).toInt(), 20);
        for (int round = 1; round <= rounds; ++round) {
            std::printf("round %d, ZelUdpBench alone:\n", round);
            std::fflush(stdout);
            alone << udpBench(p.value(udpOpt), stateDir, p.value(queueOpt), p.value(rateOpt),
                              false);
            std::printf("round %d, ZelUdpBench with reports running:\n", round);
            std::fflush(stdout);
            alongside << udpBench(p.value(udpOpt), stateDir, p.value(queueOpt),
                                  p.value(rateOpt), true);
        }
        std::printf("p99_ms alone: %s\np99_ms with reports: %s\n", qPrintable(listed(alone)),
                    qPrintable(listed(alongside)));
    }
    return 0;
}
