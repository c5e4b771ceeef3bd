#include "spool.h"

#include <QDir>
#include <QFileInfo>
#include <QVariant>

#include "bootclock.h"
#include "sqlitestatement.h"

#include <sqlite3.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char *const StateNames[Spool::StateCount] = {"queued",  "handed",   "delivered",
                                                   "dropped", "rejected", "expired"};
const char *const ReportNames[ReportStateCount] = {"none", "waiting", "confirmed", "failed",
                                                   "timeout"};

const char *const CreateSchema = R"sql(
CREATE TABLE IF NOT EXISTS records(
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    received INTEGER NOT NULL,
    request_id INTEGER NOT NULL,
    source TEXT NOT NULL,
    phone TEXT NOT NULL,
    phone_bytes BLOB NOT NULL,
    text_bytes BLOB NOT NULL,
    text_length INTEGER NOT NULL,
    encoding INTEGER NOT NULL,
    text TEXT NOT NULL,
    state TEXT NOT NULL,
    attempts INTEGER NOT NULL DEFAULT 0,
    last_error TEXT NOT NULL DEFAULT '',
    provider TEXT NOT NULL DEFAULT '',
    final INTEGER,
    since INTEGER NOT NULL,
    duplicates INTEGER NOT NULL DEFAULT 0);
CREATE INDEX IF NOT EXISTS records_state ON records(state, id);
CREATE INDEX IF NOT EXISTS records_request ON records(request_id, received);
CREATE INDEX IF NOT EXISTS records_final ON records(final) WHERE final IS NOT NULL;
)sql";

// Version 2: the boot clock beside the wall clock at receipt and at the
// last retry, so that ages and the repeat window survive a step of the wall
// clock; and the provider whose error last_error is. Records of version 1
// keep the wall clock only, and their error is taken as their provider's.
const char *const SchemaTo2 = R"sql(
ALTER TABLE records ADD COLUMN boot_id TEXT NOT NULL DEFAULT '';
ALTER TABLE records ADD COLUMN received_boot INTEGER NOT NULL DEFAULT 0;
ALTER TABLE records ADD COLUMN since_boot_id TEXT NOT NULL DEFAULT '';
ALTER TABLE records ADD COLUMN since_boot INTEGER NOT NULL DEFAULT 0;
ALTER TABLE records ADD COLUMN error_provider TEXT NOT NULL DEFAULT '';
UPDATE records SET error_provider=provider WHERE last_error<>'';
)sql";

// Version 3: delivery reports, what the network said of the SMS reaching the
// phone, and what the modem matches its reports by (the message reference of
// each part and the recipient), so the journal shows why a report was or was
// not found. Older records have none.
const char *const SchemaTo3 = R"sql(
ALTER TABLE records ADD COLUMN report TEXT NOT NULL DEFAULT 'none';
ALTER TABLE records ADD COLUMN report_time INTEGER;
ALTER TABLE records ADD COLUMN report_refs TEXT NOT NULL DEFAULT '';
ALTER TABLE records ADD COLUMN report_recipient TEXT NOT NULL DEFAULT '';
CREATE INDEX IF NOT EXISTS records_report ON records(report, id) WHERE report='waiting';
)sql";

// Version 4: the history of each delivery path's state, one row per change,
// with the wall clock (for a later boot and the report) and the boot clock
// (for durations within a boot).
const char *const SchemaTo4 = R"sql(
CREATE TABLE path_history(id INTEGER PRIMARY KEY, path TEXT NOT NULL, provider TEXT NOT NULL,
    state TEXT NOT NULL, reason TEXT, wall_ms INTEGER NOT NULL, boot_id TEXT, boot_ms INTEGER);
CREATE INDEX path_history_wall ON path_history(wall_ms);
)sql";

// Version 5: the network's or gateway's own words with a report's final
// state, a confirmation's as well as a failure's (a failure's also stays the
// record's last error). Older records have none.
const char *const SchemaTo5 = R"sql(
ALTER TABLE records ADD COLUMN report_text TEXT NOT NULL DEFAULT '';
)sql";

// Creates the folder (0700) and the file (0600) before SQLite does, so the
// alarm texts are never readable by others, not even for a moment.
bool preparePath(const QString &path, QString *error)
{
    const QFileInfo info(path);
    const QString dir = info.absolutePath();
    if (!QDir().mkpath(dir)) {
        *error = QStringLiteral("cannot create the folder %1").arg(dir);
        return false;
    }
    ::chmod(QFile::encodeName(dir).constData(), 0700);
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = QStringLiteral("cannot create %1: %2")
                     .arg(path, QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    ::fchmod(fd, 0600);
    ::close(fd);
    return true;
}

} // namespace

using namespace SpoolSql;

const char *Spool::stateName(int state)
{
    return state >= 0 && state < StateCount ? StateNames[state] : "unknown";
}

int Spool::stateFromName(const QString &name)
{
    for (int i = 0; i < StateCount; ++i)
        if (name == QLatin1String(StateNames[i]))
            return i;
    return -1;
}

const char *Spool::reportName(int report)
{
    return report >= 0 && report < ReportStateCount ? ReportNames[report] : "unknown";
}

int Spool::reportFromName(const QString &name)
{
    for (int i = 0; i < ReportStateCount; ++i)
        if (name == QLatin1String(ReportNames[i]))
            return i;
    return -1;
}

QString Spool::defaultPath()
{
    const QByteArray dir = qgetenv("ZELSMS_STATE_DIR");
    if (!dir.isEmpty())
        return QFile::decodeName(dir) + QStringLiteral("/spool.db");
    if (::geteuid() == 0)
        return QStringLiteral("/var/lib/zelsms/spool.db");
    QString base = QFile::decodeName(qgetenv("XDG_STATE_HOME"));
    if (base.isEmpty())
        base = QDir::homePath() + QStringLiteral("/.local/state");
    return base + QStringLiteral("/zelsms/spool.db");
}

SMSMessage Spool::Record::message() const
{
    SMSMessage msg{};
    memcpy(msg.phone, phoneBytes.constData(), qMin(phoneBytes.size(), int(SMSMessage::PhoneSize)));
    memcpy(msg.text, textBytes.constData(), qMin(textBytes.size(), int(SMSMessage::TextSize)));
    msg.textLength = uint16_t(textLength);
    msg.encoding = uint8_t(encoding);
    return msg;
}

Spool::Moment Spool::now()
{
    return Moment{BootClock::wallMs(), BootClock::bootId(), BootClock::bootMs()};
}

qint64 Spool::elapsedSince(const Moment &m)
{
    return BootClock::elapsedSince(m.wallMs, m.bootId, m.bootMs);
}

Spool::Spool() = default;

Spool::~Spool()
{
    close();
}

void Spool::close()
{
    if (m_db)
        sqlite3_close_v2(m_db);
    m_db = nullptr;
    m_pending = 0;
    m_dataVersion = -1;
    m_walDevice = m_walInode = 0;
    m_fileSize = 0;
}

QString Spool::sqliteError() const
{
    return m_db ? QString::fromUtf8(sqlite3_errmsg(m_db)) : QStringLiteral("no database");
}

bool Spool::exec(const char *sql)
{
    char *msg = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &msg) == SQLITE_OK)
        return true;
    takeError();
    if (msg)
        m_error = QString::fromUtf8(msg);
    sqlite3_free(msg);
    return false;
}

void Spool::takeError()
{
    m_error = sqliteError();
    const int code = m_db ? sqlite3_errcode(m_db) & 0xff : SQLITE_OK;
    m_busy = code == SQLITE_BUSY || code == SQLITE_LOCKED;
    if ((code == SQLITE_CORRUPT || code == SQLITE_NOTADB) && m_damage.isEmpty())
        m_damage = m_error;
}

void Spool::setBusyTimeoutMs(int ms)
{
    m_busyMs = ms;
    if (m_db)
        sqlite3_busy_timeout(m_db, ms);
}

void Spool::wrote()
{
    m_walDirty = true;
    m_lastWrite.start();
}

bool Spool::openFile(const QString &path, bool readOnly)
{
    close();
    m_path = path;
    m_tooNew = false;
    m_error.clear();
    if (!readOnly && !preparePath(path, &m_error))
        return false;
    const int flags = readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE;
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &m_db, flags, nullptr) != SQLITE_OK) {
        m_error = sqliteError();
        close();
        return false;
    }
    sqlite3_extended_result_codes(m_db, 1);
    // The journal tool reads while the service writes; neither should fail
    // on a short lock. The service waits far less (setBusyTimeoutMs): its
    // event loop must not stand still behind another program's transaction.
    sqlite3_busy_timeout(m_db, m_busyMs);
    return true;
}

bool Spool::open(const QString &path, Sync sync)
{
    m_sync = sync;
    m_moved = false;
    m_busy = false;
    m_damage.clear();
    if (!openFile(path, false))
        return false;
    // The version is read before anything is set: even switching the journal
    // mode writes to the file, and a newer one must stay as it is.
    if (!checkVersion() || !setUp(sync) || !migrate()) {
        if (m_error.isEmpty())
            m_error = sqliteError();
        sqlite3_close_v2(m_db);
        m_db = nullptr;
        return false;
    }
    m_pending = countPending();
    changedElsewhere(); // the baseline: what is in the file now is known
    rememberWal();
    rememberSize();
    {
        Statement seq(m_db, "SELECT seq FROM sqlite_sequence WHERE name='records'");
        m_highestId = seq && seq.step() == SQLITE_ROW ? sqlite3_column_int64(seq.get(), 0) : 0;
    }
    wrote(); // a -wal left large by the last run is cut back after the first idle minute
    return m_pending >= 0 || (close(), false);
}

bool Spool::openReadOnly(const QString &path)
{
    if (!QFileInfo::exists(path)) {
        m_error = QStringLiteral("%1 does not exist").arg(path);
        return false;
    }
    if (!openFile(path, true))
        return false;
    Statement st(m_db, "PRAGMA user_version");
    const int version = st && st.step() == SQLITE_ROW ? sqlite3_column_int(st.get(), 0) : -1;
    if (version != SchemaVersion) {
        m_tooNew = version > SchemaVersion;
        m_error = version < 0 ? sqliteError()
                              : QStringLiteral("schema version %1, this program reads %2")
                                    .arg(version)
                                    .arg(SchemaVersion);
        close();
        return false;
    }
    return true;
}

bool Spool::setUp(Sync sync)
{
    // WAL lets the journal tool read while the service writes, and keeps one
    // fsync per commit; FULL also syncs the WAL on every commit, so a power
    // cut cannot take back an acknowledged request.
    Statement mode(m_db, "PRAGMA journal_mode=WAL");
    if (!mode || mode.step() != SQLITE_ROW)
        return false;
    const QString got = columnText(mode.get(), 0);
    if (got.compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0) {
        m_error = QStringLiteral("cannot switch to WAL journal (got %1)").arg(got);
        return false;
    }
    // Whenever the -wal starts over it is cut back to this size, so a burst
    // does not leave its high-water mark on the disk. The service writes at
    // the end of its tables and reads back only what it hands over; a small
    // page cache holds those pages, where the default (2 MB) would fill over
    // months with pages of old records the purge walked once.
    return exec(sync == SyncFull ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL") &&
           exec("PRAGMA journal_size_limit=1048576") && exec("PRAGMA cache_size=-512");
}

int Spool::schemaVersion()
{
    Statement st(m_db, "PRAGMA user_version");
    return st && st.step() == SQLITE_ROW ? sqlite3_column_int(st.get(), 0) : -1;
}

bool Spool::checkVersion()
{
    const int version = schemaVersion();
    if (version < 0)
        return false;
    if (version > SchemaVersion) {
        // Written by a newer service: changing it could lose what that one
        // stored, and storing in a layout it does not expect is no better.
        m_tooNew = true;
        m_error = QStringLiteral("schema version %1 is newer than this service's %2")
                      .arg(version)
                      .arg(SchemaVersion);
        return false;
    }
    return true;
}

bool Spool::migrate()
{
    const int version = schemaVersion();
    if (version < 0)
        return false;
    // Each step takes the file one version further, in a transaction of its own.
    for (int next = version + 1; next <= SchemaVersion; ++next)
        if (!migrateTo(next))
            return false;
    return true;
}

bool Spool::migrateTo(int version)
{
    if (!begin())
        return false;
    bool ok = false;
    if (version == 1)
        ok = exec(CreateSchema);
    else if (version == 2)
        ok = exec(SchemaTo2);
    else if (version == 3)
        ok = exec(SchemaTo3);
    else if (version == 4)
        ok = exec(SchemaTo4);
    else if (version == 5)
        ok = exec(SchemaTo5);
    const QByteArray setVersion = "PRAGMA user_version=" + QByteArray::number(version);
    if (!ok || !exec(setVersion.constData()) || !commit()) {
        rollback();
        return false;
    }
    return true;
}

bool Spool::begin()
{
    return exec("BEGIN IMMEDIATE");
}

bool Spool::commit()
{
    if (hasMoved()) {
        m_moved = true;
        m_busy = false;
        m_error = m_damage.isEmpty()
                      ? QStringLiteral("the file %1 was removed or replaced").arg(m_path)
                      : QStringLiteral("the file %1 is damaged: %2").arg(m_path, m_damage);
        return false;
    }
    if (!exec("COMMIT"))
        return false;
    wrote();
    rememberSize();
    return true;
}

void Spool::rollback()
{
    if (m_db && !sqlite3_get_autocommit(m_db))
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
}

int Spool::countPending()
{
    Statement st(m_db, "SELECT COUNT(*) FROM records WHERE state IN ('queued','handed')");
    if (!st || st.step() != SQLITE_ROW) {
        m_error = sqliteError();
        return -1;
    }
    return sqlite3_column_int(st.get(), 0);
}

bool Spool::store(QVector<Incoming> *group, const Moment &at, qint64 dedupWindowMs)
{
    const qint64 nowMs = at.wallMs;
    if (!m_db) {
        m_error = QStringLiteral("the spool is not open");
        return false;
    }
    if (!begin())
        return false;
    // Within one boot the window is on the boot clock; the wall clock only
    // for a record of an earlier boot (or one that has no boot clock).
    Statement find(m_db, "SELECT id FROM records WHERE request_id=?1 AND source=?2 AND "
                         "phone_bytes=?3 AND text_bytes=?4 AND CASE WHEN ?5<>'' AND boot_id=?5 "
                         "THEN received_boot>=?6 ELSE received>=?7 END ORDER BY id DESC LIMIT 1");
    Statement insert(m_db, "INSERT INTO records(received, request_id, source, phone, phone_bytes, "
                           "text_bytes, text_length, encoding, text, state, provider, last_error, "
                           "final, since, boot_id, received_boot, since_boot_id, since_boot, "
                           "error_provider) VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
    bool ok = find && insert && writeNotes();
    int added = 0;
    for (int i = 0; ok && i < group->size(); ++i) {
        Incoming &in = (*group)[i];
        const QByteArray phone(in.msg.phone, SMSMessage::PhoneSize);
        const QByteArray text(in.msg.text, SMSMessage::TextSize);
        find.bind(1, qint64(in.requestId));
        find.bind(2, in.source);
        find.bindBlob(3, phone);
        find.bindBlob(4, text);
        find.bind(5, at.bootId);
        find.bind(6, at.bootMs - dedupWindowMs);
        find.bind(7, nowMs - dedupWindowMs);
        const int rc = find.step();
        in.duplicate = rc == SQLITE_ROW;
        in.id = in.duplicate ? sqlite3_column_int64(find.get(), 0) : 0;
        find.reset();
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
            ok = false;
            break;
        }
        if (in.duplicate || in.repeatOnly)
            continue;
        insert.bind(1, nowMs);
        insert.bind(2, qint64(in.requestId));
        insert.bind(3, in.source);
        insert.bind(4, SmsText::phoneText(in.msg));
        insert.bindBlob(5, phone);
        insert.bindBlob(6, text);
        insert.bind(7, qint64(in.msg.textLength));
        insert.bind(8, qint64(in.msg.encoding));
        insert.bind(9, SmsText::messageText(in.msg));
        insert.bind(10, QString::fromLatin1(stateName(in.state)));
        insert.bind(11, in.provider);
        insert.bind(12, in.error);
        if (isFinal(in.state))
            insert.bind(13, nowMs);
        insert.bind(14, nowMs);
        insert.bind(15, at.bootId);
        insert.bind(16, at.bootMs);
        insert.bind(17, at.bootId);
        insert.bind(18, at.bootMs);
        insert.bind(19, in.error.isEmpty() ? QString() : in.provider);
        ok = insert.step() == SQLITE_DONE;
        insert.reset();
        in.id = sqlite3_last_insert_rowid(m_db);
        m_highestId = qMax(m_highestId, in.id);
        if (!isFinal(in.state))
            ++added;
    }
    if (!ok || !commit())
        return abandon();
    m_pending += added;
    m_notes.clear();
    m_pathChanges.clear();
    return true;
}

bool Spool::abandon()
{
    if (!m_moved)
        takeError();
    rollback();
    // The notes written in the rolled-back transaction are lost with it;
    // recount rather than guess which of them counted.
    const int pending = countPending();
    if (pending >= 0)
        m_pending = pending;
    return false;
}

void Spool::noteState(qint64 id, int state, const QString &provider, const QString &error,
                      qint64 nowMs)
{
    m_notes.append(Note{id, state, provider, error, nowMs, ReportNone, QString()});
}

void Spool::noteAttempt(qint64 id, const QString &provider, const QString &error)
{
    m_notes.append(Note{id, -1, provider, error, 0, ReportNone, QString()});
}

void Spool::noteDuplicate(qint64 id)
{
    m_notes.append(Note{id, -2, QString(), QString(), 0, ReportNone, QString()});
}

void Spool::noteReport(qint64 id, int report, const QString &refs, const QString &recipient,
                       const QString &reason, qint64 nowMs)
{
    m_notes.append(Note{id, -3, recipient, reason, nowMs, report, refs});
}

void Spool::noteReopen(qint64 id, const QString &provider, const QString &reason,
                       const QString &errorProvider)
{
    m_notes.append(Note{id, -4, provider, reason, 0, ReportNone, errorProvider});
}

bool Spool::flush()
{
    if (!hasNotes())
        return true;
    if (!m_db) {
        m_error = QStringLiteral("the spool is not open");
        return false;
    }
    if (!begin())
        return false;
    if (!writeNotes() || !commit())
        return abandon();
    m_notes.clear();
    m_pathChanges.clear();
    return true;
}

bool Spool::writeNotes()
{
    if (!writePathChanges())
        return false;
    if (m_notes.isEmpty())
        return true;
    Statement toHanded(m_db, "UPDATE records SET state='handed', provider=? "
                             "WHERE id=? AND state IN ('queued','handed')");
    Statement toQueued(m_db, "UPDATE records SET state='queued' WHERE id=? AND state='handed'");
    // Only a pending record can end; a second outcome for a finished one
    // (a late answer) must not move it again.
    Statement toFinal(m_db, "UPDATE records SET state=?1, provider=CASE WHEN ?2='' THEN provider "
                            "ELSE ?2 END, last_error=CASE WHEN ?3='' THEN last_error ELSE ?3 END, "
                            "error_provider=CASE WHEN ?3='' THEN error_provider ELSE ?2 END, "
                            "final=?4 WHERE id=?5 AND state IN ('queued','handed')");
    // A send that failed names its provider; one that succeeded leaves the
    // record's last error as it was.
    Statement attempt(m_db, "UPDATE records SET attempts=attempts+1, last_error=CASE WHEN ?1='' "
                            "THEN last_error ELSE ?1 END, error_provider=CASE WHEN ?1='' THEN "
                            "error_provider ELSE ?2 END WHERE id=?3");
    Statement duplicate(m_db, "UPDATE records SET duplicates=duplicates+1 WHERE id=?");
    Statement reopen(m_db, "UPDATE records SET state='handed', provider=?, final=NULL, "
                           "last_error=?, error_provider=? WHERE id=? AND state='delivered'");
    if (!toHanded || !toQueued || !toFinal || !attempt || !duplicate || !reopen)
        return false;
    for (const Note &n : qAsConst(m_notes)) {
        int rc;
        if (n.state == -3) {
            continue; // after the states: a report may follow its delivery in one flush
        } else if (n.state == -4) {
            reopen.bind(1, n.provider);
            reopen.bind(2, n.error);
            reopen.bind(3, n.refs);
            reopen.bind(4, n.id);
            rc = reopen.step();
            reopen.reset();
            if (rc == SQLITE_DONE && sqlite3_changes(m_db) > 0)
                ++m_pending;
        } else if (n.state == -2) {
            duplicate.bind(1, n.id);
            rc = duplicate.step();
            duplicate.reset();
        } else if (n.state < 0) {
            attempt.bind(1, n.error);
            attempt.bind(2, n.provider);
            attempt.bind(3, n.id);
            rc = attempt.step();
            attempt.reset();
        } else if (n.state == Handed) {
            toHanded.bind(1, n.provider);
            toHanded.bind(2, n.id);
            rc = toHanded.step();
            toHanded.reset();
        } else if (n.state == Queued) {
            toQueued.bind(1, n.id);
            rc = toQueued.step();
            toQueued.reset();
        } else {
            toFinal.bind(1, QString::fromLatin1(stateName(n.state)));
            toFinal.bind(2, n.provider);
            toFinal.bind(3, n.error);
            toFinal.bind(4, n.atMs);
            toFinal.bind(5, n.id);
            rc = toFinal.step();
            toFinal.reset();
            if (rc == SQLITE_DONE && sqlite3_changes(m_db) > 0)
                --m_pending;
        }
        if (rc != SQLITE_DONE)
            return false;
    }
    return writeReports();
}

bool Spool::writeReports()
{
    // Waiting only for a delivered record without a report yet, or again over
    // waiting with the parts of a long SMS confirmed so far; a final report
    // only over waiting, or over a time-out when the report came late.
    // The error is the delivering provider's; a record reopened for another
    // provider in the same flush already names it.
    Statement st(m_db,
                 "UPDATE records SET report=?1, report_time=CASE WHEN ?1='waiting' THEN "
                 "NULL ELSE ?2 END, report_refs=CASE WHEN ?3='' THEN report_refs ELSE ?3 "
                 "END, report_recipient=CASE WHEN ?4='' THEN report_recipient ELSE ?4 END, "
                 "report_text=CASE WHEN ?1='waiting' THEN '' ELSE ?5 END, "
                 "last_error=CASE WHEN ?5='' OR ?1='confirmed' THEN last_error ELSE ?5 END, "
                 "error_provider=CASE WHEN ?5='' OR ?1='confirmed' OR state<>'delivered' THEN "
                 "error_provider ELSE provider END "
                 "WHERE id=?6 AND "
                 "(CASE ?1 WHEN 'waiting' THEN report IN ('none','waiting') AND state='delivered' "
                 "WHEN 'timeout' THEN report='waiting' "
                 "ELSE report IN ('waiting','timeout') END)");
    if (!st)
        return false;
    for (const Note &n : qAsConst(m_notes)) {
        if (n.state != -3)
            continue;
        st.bind(1, QString::fromLatin1(reportName(n.report)));
        st.bind(2, n.atMs);
        st.bind(3, n.refs);
        st.bind(4, n.provider);
        st.bind(5, n.error);
        st.bind(6, n.id);
        const int rc = st.step();
        st.reset();
        if (rc != SQLITE_DONE)
            return false;
    }
    return true;
}

void Spool::recountPending()
{
    if (!m_db)
        return;
    const int pending = countPending();
    if (pending >= 0)
        m_pending = pending;
}

bool Spool::changedElsewhere()
{
    if (!m_db)
        return false;
    // data_version moves only when another connection commits, so looking
    // costs nothing while the service is the only writer.
    Statement st(m_db, "PRAGMA data_version");
    if (!st || st.step() != SQLITE_ROW)
        return false;
    const qint64 version = sqlite3_column_int64(st.get(), 0);
    const bool changed = m_dataVersion >= 0 && version != m_dataVersion;
    m_dataVersion = version;
    return changed;
}

int Spool::requeueHanded()
{
    if (!m_db || !exec("UPDATE records SET state='queued' WHERE state='handed'"))
        return -1;
    wrote();
    return sqlite3_changes(m_db);
}
