#include "spool.h"
#include "sqlitestatement.h"

// The path history's rows and their purge, and the figures the metrics file
// reads every few seconds: cheap queries over indexes only.

using namespace SpoolSql;

bool Spool::writePathChanges()
{
    if (m_pathChanges.isEmpty())
        return true;
    Statement st(m_db, "INSERT INTO path_history(path, provider, state, reason, wall_ms, boot_id, "
                       "boot_ms) VALUES(?,?,?,?,?,?,?)");
    if (!st)
        return false;
    for (const PathChange &c : qAsConst(m_pathChanges)) {
        st.bind(1, c.path);
        st.bind(2, c.provider);
        st.bind(3, c.state);
        if (!c.reason.isEmpty())
            st.bind(4, c.reason);
        st.bind(5, c.at.wallMs);
        if (!c.at.bootId.isEmpty()) {
            st.bind(6, c.at.bootId);
            st.bind(7, c.at.bootMs);
        }
        const int rc = st.step();
        st.reset();
        if (rc != SQLITE_DONE)
            return false;
    }
    return true;
}

int Spool::purgePathHistory(qint64 cutoffMs, int maxRows, int limit)
{
    if (!m_db)
        return -1;
    // Each by an index, so a minute's purge with nothing to do costs two
    // look-ups. Rows are only ever added after the newest and removed from
    // the oldest, so the ids are dense: the newest maxRows are the ids within
    // maxRows of the largest, found without counting the table.
    Statement old(m_db, "DELETE FROM path_history WHERE id IN (SELECT id FROM path_history WHERE "
                        "wall_ms<? ORDER BY wall_ms LIMIT ?)");
    Statement many(m_db, "DELETE FROM path_history WHERE id<=(SELECT MAX(id) FROM path_history)-?1 "
                         "AND id<(SELECT MIN(id) FROM path_history)+?2");
    if (!old || !many)
        return -1;
    old.bind(1, cutoffMs);
    old.bind(2, qint64(limit));
    many.bind(1, qint64(maxRows));
    many.bind(2, qint64(limit));
    int purged = 0;
    for (Statement *st : {&old, &many}) {
        if (st->step() != SQLITE_DONE) {
            takeError();
            return -1;
        }
        purged += sqlite3_changes(m_db);
    }
    if (purged > 0)
        wrote();
    return purged;
}

bool Spool::pendingCounts(int *queued, int *handed, qint64 *oldestReceivedMs)
{
    if (!m_db)
        return false;
    // Index ranges only: counting the final records too would walk the whole
    // journal (a quarter of a second over a million records), so those are
    // counted as they finish (DeliveryStats). The oldest pending record is the
    // one with the lowest id, received first.
    Statement count(m_db, "SELECT COUNT(*), MIN(id) FROM records WHERE state=?");
    Statement received(m_db, "SELECT received FROM records WHERE id=?");
    if (!count || !received)
        return false;
    qint64 oldestId = 0;
    for (int state : {int(Queued), int(Handed)}) {
        count.bind(1, QString::fromLatin1(stateName(state)));
        if (count.step() != SQLITE_ROW) {
            takeError();
            return false;
        }
        *(state == Queued ? queued : handed) = sqlite3_column_int(count.get(), 0);
        const qint64 first = sqlite3_column_int64(count.get(), 1);
        if (first > 0 && (oldestId == 0 || first < oldestId))
            oldestId = first;
        count.reset();
    }
    *oldestReceivedMs = 0;
    if (oldestId > 0) {
        received.bind(1, oldestId);
        if (received.step() == SQLITE_ROW)
            *oldestReceivedMs = sqlite3_column_int64(received.get(), 0);
    }
    return true;
}
