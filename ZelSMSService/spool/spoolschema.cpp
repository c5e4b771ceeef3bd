#include "spool.h"
#include "sqlitestatement.h"

#include <QFileInfo>

// The file's layout and its versions: each version one step, taken in a
// transaction of its own, so an older spool opens and a newer one is left as
// it is.

namespace {

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

// Version 5: the path (settings group) that holds or delivered a record,
// since two paths may run one provider; and the boot clock beside the wall
// clock at the delivery and at the report, so that the report's durations
// survive a step of the wall clock. Older records have neither: the provider
// and the wall clock stand for them. And the network's or gateway's own words
// with a report's final state, a confirmation's as well as a failure's (a
// failure's also stays the record's last error).
const char *const SchemaTo5 = R"sql(
ALTER TABLE records ADD COLUMN path TEXT NOT NULL DEFAULT '';
ALTER TABLE records ADD COLUMN final_boot_id TEXT NOT NULL DEFAULT '';
ALTER TABLE records ADD COLUMN final_boot INTEGER NOT NULL DEFAULT 0;
ALTER TABLE records ADD COLUMN report_boot_id TEXT NOT NULL DEFAULT '';
ALTER TABLE records ADD COLUMN report_boot INTEGER NOT NULL DEFAULT 0;
ALTER TABLE records ADD COLUMN report_text TEXT NOT NULL DEFAULT '';
)sql";
} // namespace

using namespace SpoolSql;

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
