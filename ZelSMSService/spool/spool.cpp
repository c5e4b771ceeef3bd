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
                           "error_provider, path) VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
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
        insert.bind(20, in.state == Handed ? in.path : QString());
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
