#include "spool.h"
#include "sqlitestatement.h"

#include <QDateTime>
#include <QFile>
#include <QSet>
#include <QVariant>

#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

// Keeping the spool the file at its path: noticing that it was removed or
// replaced under the running service, creating it again from what the open
// connection still reads, and keeping the -wal small.

using namespace SpoolSql;

namespace {

bool identify(const QString &path, quint64 *device, quint64 *inode)
{
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return false;
    *device = quint64(st.st_dev);
    *inode = quint64(st.st_ino);
    return true;
}

QVariant columnValue(sqlite3_stmt *st, int col)
{
    switch (sqlite3_column_type(st, col)) {
    case SQLITE_INTEGER:
        return qint64(sqlite3_column_int64(st, col));
    case SQLITE_FLOAT:
        return sqlite3_column_double(st, col);
    case SQLITE_TEXT:
        return columnText(st, col);
    case SQLITE_BLOB:
        return columnBlob(st, col);
    default:
        return QVariant();
    }
}

void bindValue(sqlite3_stmt *st, int i, const QVariant &v)
{
    switch (int(v.type())) {
    case QVariant::LongLong:
        sqlite3_bind_int64(st, i, v.toLongLong());
        break;
    case QVariant::Double:
        sqlite3_bind_double(st, i, v.toDouble());
        break;
    case QVariant::String: {
        const QByteArray u = v.toString().toUtf8();
        sqlite3_bind_text(st, i, u.constData(), u.size(), SQLITE_TRANSIENT);
        break;
    }
    case QVariant::ByteArray: {
        const QByteArray b = v.toByteArray();
        sqlite3_bind_blob(st, i, b.constData(), b.size(), SQLITE_TRANSIENT);
        break;
    }
    default:
        sqlite3_bind_null(st, i);
        break;
    }
}

// Closes a connection without touching the files at its path: no checkpoint,
// so SQLite neither writes the old -wal back nor deletes "<path>-wal" and
// "<path>-shm" by name, which by now may be the new spool's.
void closeDetached(sqlite3 *db)
{
    if (!db)
        return;
    sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    sqlite3_close_v2(db);
}

} // namespace

void Spool::rememberWal()
{
    m_walDevice = m_walInode = 0;
    identify(m_path + QStringLiteral("-wal"), &m_walDevice, &m_walInode);
}

void Spool::rememberSize()
{
    sqlite3_file *file = nullptr;
    sqlite3_int64 size = 0;
    if (m_db && sqlite3_file_control(m_db, "main", SQLITE_FCNTL_FILE_POINTER, &file) == SQLITE_OK &&
        file && file->pMethods && file->pMethods->xFileSize(file, &size) == SQLITE_OK)
        m_fileSize = qMax(m_fileSize, qint64(size));
}

bool Spool::checkDamage()
{
    if (!m_damage.isEmpty())
        return true;
    // Looked at beneath the connection, whose page cache and -wal would go
    // on showing the pages as they were written; and through its own file
    // handle: closing another descriptor of the file would drop SQLite's
    // locks on it.
    sqlite3_file *file = nullptr;
    if (sqlite3_file_control(m_db, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK ||
        !file || !file->pMethods)
        return false;
    sqlite3_int64 size = 0;
    if (file->pMethods->xFileSize(file, &size) != SQLITE_OK)
        return false;
    char header[20] = {};
    if (size < m_fileSize) {
        m_damage = QStringLiteral("%1 bytes long, %2 were written").arg(size).arg(m_fileSize);
    } else if (size > 0 &&
               (file->pMethods->xRead(file, header, sizeof header, 0) != SQLITE_OK ||
                memcmp(header, "SQLite format 3", 16) != 0 || header[18] != 2 || header[19] != 2)) {
        // Not an SQLite file in WAL mode any more.
        m_damage = QStringLiteral("its header was overwritten");
    } else {
        Statement version(m_db, "PRAGMA user_version");
        if (version && version.step() == SQLITE_ROW && sqlite3_column_int(version.get(), 0) == 0)
            m_damage = QStringLiteral("its schema version reads 0");
    }
    return !m_damage.isEmpty();
}

bool Spool::hasMoved()
{
    if (!m_db)
        return false;
    if (checkDamage())
        return true;
    int moved = 0;
    if (sqlite3_file_control(m_db, "main", SQLITE_FCNTL_HAS_MOVED, &moved) == SQLITE_OK && moved)
        return true;
    // The -wal holds every commit since the last checkpoint: removed alone,
    // those commits would be gone at the next start just the same.
    if (m_walInode == 0)
        return false;
    quint64 device = 0, inode = 0;
    return !identify(m_path + QStringLiteral("-wal"), &device, &inode) || device != m_walDevice ||
           inode != m_walInode;
}

bool Spool::readRows(const char *sql, Rows *out)
{
    Statement st(m_db, sql);
    if (!st) {
        takeError();
        return false;
    }
    const int n = sqlite3_column_count(st.get());
    for (int c = 0; c < n; ++c)
        out->columns.append(QString::fromUtf8(sqlite3_column_name(st.get(), c)));
    int rc;
    while ((rc = st.step()) == SQLITE_ROW) {
        QVector<QVariant> row(n);
        for (int c = 0; c < n; ++c)
            row[c] = columnValue(st.get(), c);
        out->rows.append(row);
    }
    if (rc != SQLITE_DONE) {
        takeError();
        return false;
    }
    return true;
}

bool Spool::readPending(Rows *pending, qint64 *sequence)
{
    if (!readRows("SELECT * FROM records WHERE state IN ('queued','handed') ORDER BY id", pending))
        return false;
    // Ids already given out are never given again: a provider may still
    // report on a record that is final by now.
    Statement seq(m_db, "SELECT seq FROM sqlite_sequence WHERE name='records'");
    *sequence = seq && seq.step() == SQLITE_ROW ? sqlite3_column_int64(seq.get(), 0) : 0;
    return true;
}

bool Spool::insertRows(const char *table, const Rows &rows)
{
    if (rows.columns.isEmpty())
        return true; // nothing read from the old file
    QStringList marks;
    for (int c = 0; c < rows.columns.size(); ++c)
        marks.append(QStringLiteral("?"));
    const QByteArray sql = QStringLiteral("INSERT INTO %1(%2) VALUES(%3)")
                               .arg(QLatin1String(table), rows.columns.join(QLatin1Char(',')),
                                    marks.join(QLatin1Char(',')))
                               .toUtf8();
    Statement insert(m_db, sql.constData());
    if (!insert)
        return false;
    for (const QVector<QVariant> &row : rows.rows) {
        for (int c = 0; c < rows.columns.size(); ++c)
            bindValue(insert.get(), c + 1, row.value(c));
        if (insert.step() != SQLITE_DONE)
            return false;
        insert.reset();
    }
    return true;
}

bool Spool::insertHeld(const QVector<Record> &held)
{
    // Held by the caller only: what the station sent and when, as the
    // caller knows it; the journal's history of the record is lost with the file.
    Statement insert(m_db, "INSERT INTO records(id, received, request_id, source, phone, "
                           "phone_bytes, text_bytes, text_length, encoding, text, state, "
                           "provider, since, boot_id, received_boot, since_boot_id, "
                           "since_boot, path) VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
    if (!insert)
        return false;
    for (const Record &h : held) {
        insert.bind(1, h.id);
        insert.bind(2, h.receivedMs);
        insert.bind(3, qint64(h.requestId));
        insert.bind(4, h.source);
        insert.bind(5, h.phone);
        insert.bindBlob(6, h.phoneBytes);
        insert.bindBlob(7, h.textBytes);
        insert.bind(8, qint64(h.textLength));
        insert.bind(9, qint64(h.encoding));
        insert.bind(10, h.text);
        insert.bind(11, QString::fromLatin1(stateName(h.state)));
        insert.bind(12, h.provider);
        insert.bind(13, h.since.wallMs);
        insert.bind(14, h.since.bootId);
        insert.bind(15, h.since.bootMs);
        insert.bind(16, h.since.bootId);
        insert.bind(17, h.since.bootMs);
        insert.bind(18, h.path);
        if (insert.step() != SQLITE_DONE)
            return false;
        insert.reset();
    }
    return true;
}

bool Spool::writeRescued(const Rows &pending, const Rows &history, const QVector<Record> &held,
                         qint64 sequence)
{
    if (!begin())
        return false;
    Statement seqAdd(m_db, "INSERT INTO sqlite_sequence(name, seq) SELECT 'records', 0 WHERE NOT "
                           "EXISTS(SELECT 1 FROM sqlite_sequence WHERE name='records')");
    Statement seqSet(m_db, "UPDATE sqlite_sequence SET seq=MAX(seq, ?) WHERE name='records'");
    bool ok = seqAdd && seqSet && insertRows("records", pending) &&
              insertRows("path_history", history) && insertHeld(held);
    seqSet.bind(1, sequence);
    ok = ok && seqAdd.step() == SQLITE_DONE && seqSet.step() == SQLITE_DONE && writeNotes();
    if (!ok || !commit())
        return abandon();
    m_notes.clear();
    m_pathChanges.clear();
    return true;
}

bool Spool::clearPath()
{
    // A file put in the spool's place is somebody's: it is kept beside it,
    // with its -wal and -shm if they came with it. What is left of the old
    // spool (its -wal, its -shm) is of no use without it and is removed: a
    // new spool, or the file kept aside, would read it as its own.
    const QString wal = m_path + QStringLiteral("-wal");
    quint64 device = 0, inode = 0;
    const bool oldWal = m_walInode != 0 && identify(wal, &device, &inode) &&
                        device == m_walDevice && inode == m_walInode;
    // A damaged file is ours, kept with its -wal for whoever looks into it.
    const bool damaged = !m_damage.isEmpty();
    const bool keepAside = QFile::exists(m_path) && (!oldWal || damaged);
    const QString aside =
        m_path + (damaged ? QStringLiteral(".damaged-") : QStringLiteral(".replaced-")) +
        QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMddTHHmmss"));
    if (QFile::exists(m_path))
        QFile::rename(m_path, aside);
    for (const QString &suffix : {QStringLiteral("-wal"), QStringLiteral("-shm")}) {
        if (!QFile::exists(m_path + suffix))
            continue;
        if (keepAside)
            QFile::rename(m_path + suffix, aside + suffix);
        else
            QFile::remove(m_path + suffix);
    }
    return !QFile::exists(m_path) && !QFile::exists(wal);
}

bool Spool::recreate(int *rewritten, const QVector<Record> &held)
{
    if (!m_db) {
        m_error = QStringLiteral("the spool is not open");
        return false;
    }
    Rows pending;
    qint64 sequence = 0;
    const bool damaged = !m_damage.isEmpty();
    if (!readPending(&pending, &sequence)) {
        if (!damaged)
            return false;
        pending = Rows();
    }
    // The history as far as the old file gives it back, within the bound the
    // purge keeps; what a damaged file cannot give is lost, the records are not.
    Rows history;
    const QByteArray historySql =
        "SELECT * FROM (SELECT * FROM path_history ORDER BY id DESC LIMIT " +
        QByteArray::number(PathHistoryMaxRows) + ") ORDER BY id";
    if (!readRows(historySql.constData(), &history))
        history = Rows();
    // What the damaged file no longer gives back, from the caller's copy.
    QVector<Record> missing;
    if (damaged) {
        QSet<qint64> read;
        const int idColumn = pending.columns.indexOf(QStringLiteral("id"));
        for (const QVector<QVariant> &row : qAsConst(pending.rows))
            read.insert(row.value(idColumn).toLongLong());
        for (const Record &h : held)
            if (!read.contains(h.id))
                missing.append(h);
    }
    sequence = qMax(sequence, m_highestId);
    if (!clearPath()) {
        m_error = QStringLiteral("cannot clear the path %1 for a new spool").arg(m_path);
        return false;
    }
    sqlite3 *old = m_db;
    m_db = nullptr;
    const QVector<Note> notes = m_notes;
    const QString damage = m_damage;
    const qint64 highestId = m_highestId;
    if (!open(m_path, m_sync) || !writeRescued(pending, history, missing, sequence)) {
        // Nothing of this attempt may stay at the path: the next one would
        // take it for a replacement.
        const QString error = m_error;
        closeDetached(m_db);
        for (const char *suffix : {"", "-wal", "-shm"})
            QFile::remove(m_path + QLatin1String(suffix));
        m_db = old;
        m_notes = notes;
        m_error = error;
        m_damage = damage;
        m_highestId = highestId;
        m_moved = true;
        recountPending();
        return false;
    }
    closeDetached(old);
    rememberWal();
    rememberSize();
    m_highestId = qMax(m_highestId, sequence);
    recountPending();
    *rewritten = pending.rows.size() + missing.size();
    return true;
}

bool Spool::truncateWal()
{
    if (!m_db)
        return false;
    if (sqlite3_wal_checkpoint_v2(m_db, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr) !=
        SQLITE_OK) {
        takeError();
        return false;
    }
    m_walDirty = false;
    rememberSize();
    return true;
}
