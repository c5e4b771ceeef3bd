#include "spool.h"
#include "sqlitestatement.h"

#include <QVariant>

// Reading records back, and the journal: what the journal tool shows and
// repairs, and the history's purge.

using namespace SpoolSql;

QByteArray Spool::selectRecords(const char *rest)
{
    return QByteArray("SELECT id, received, request_id, source, phone, phone_bytes, text_bytes, "
                      "text_length, encoding, text, state, attempts, last_error, provider, final, "
                      "duplicates, since, since_boot_id, since_boot, error_provider, report, "
                      "report_time, report_refs, report_recipient, path, report_text FROM records ") +
           rest;
}

Spool::Record Spool::readRecord(sqlite3_stmt *st) const
{
    Record r;
    r.id = sqlite3_column_int64(st, 0);
    r.receivedMs = sqlite3_column_int64(st, 1);
    r.requestId = quint32(sqlite3_column_int64(st, 2));
    r.source = columnText(st, 3);
    r.phone = columnText(st, 4);
    r.phoneBytes = columnBlob(st, 5);
    r.textBytes = columnBlob(st, 6);
    r.textLength = sqlite3_column_int(st, 7);
    r.encoding = sqlite3_column_int(st, 8);
    r.text = columnText(st, 9);
    r.state = stateFromName(columnText(st, 10));
    r.attempts = sqlite3_column_int(st, 11);
    r.lastError = columnText(st, 12);
    r.provider = columnText(st, 13);
    r.finalMs = sqlite3_column_int64(st, 14);
    r.duplicates = sqlite3_column_int(st, 15);
    r.since.wallMs = sqlite3_column_int64(st, 16);
    r.since.bootId = columnText(st, 17);
    r.since.bootMs = sqlite3_column_int64(st, 18);
    r.errorProvider = columnText(st, 19);
    r.report = qMax(0, reportFromName(columnText(st, 20)));
    r.reportMs = sqlite3_column_int64(st, 21);
    r.reportRefs = columnText(st, 22);
    r.reportRecipient = columnText(st, 23);
    r.path = columnText(st, 24);
    r.reportText = columnText(st, 25);
    return r;
}

QVector<Spool::Record> Spool::select(const char *sql, const QVector<QVariant> &args)
{
    QVector<Record> out;
    if (!m_db)
        return out;
    Statement st(m_db, sql);
    if (!st) {
        takeError();
        return out;
    }
    for (int i = 0; i < args.size(); ++i)
        st.bindVariant(i + 1, args.at(i));
    int rc;
    while ((rc = st.step()) == SQLITE_ROW)
        out.append(readRecord(st.get()));
    if (rc != SQLITE_DONE)
        takeError();
    return out;
}

QVector<Spool::Record> Spool::records(int state, int limit, qint64 afterId)
{
    const QByteArray sql = selectRecords("WHERE state=? AND id>? ORDER BY id LIMIT ?");
    return select(sql.constData(), {QString::fromLatin1(stateName(state)), afterId, qint64(limit)});
}

Spool::Record Spool::record(qint64 id)
{
    const QByteArray sql = selectRecords("WHERE id=?");
    const QVector<Record> found = select(sql.constData(), {id});
    return found.isEmpty() ? Record() : found.first();
}

QVector<Spool::Record> Spool::waitingReports(int limit)
{
    const QByteArray sql = selectRecords("WHERE report='waiting' ORDER BY id LIMIT ?");
    return select(sql.constData(), {qint64(limit)});
}

QVector<Spool::Record> Spool::lostReports(const QString &provider, qint64 sinceMs, int limit)
{
    // Delivered records end at their delivery, so the age limit reaches
    // them through the index on final.
    const QByteArray sql = selectRecords("WHERE final>=? AND state='delivered' AND provider=? AND "
                                         "report IN ('failed','timeout') ORDER BY id LIMIT ?");
    return select(sql.constData(), {sinceMs, provider, qint64(limit)});
}

Spool::Status Spool::status()
{
    Status s;
    if (!m_db)
        return s;
    Statement counts(m_db, "SELECT state, COUNT(*) FROM records GROUP BY state");
    while (counts && counts.step() == SQLITE_ROW) {
        const int state = stateFromName(columnText(counts.get(), 0));
        if (state >= 0)
            s.counts[state] = sqlite3_column_int(counts.get(), 1);
    }
    Statement reports(m_db, "SELECT report, COUNT(*) FROM records GROUP BY report");
    while (reports && reports.step() == SQLITE_ROW) {
        const int report = reportFromName(columnText(reports.get(), 0));
        if (report >= 0)
            s.reports[report] = sqlite3_column_int(reports.get(), 1);
    }
    Statement oldest(m_db, "SELECT MIN(received) FROM records WHERE state IN ('queued','handed')");
    if (oldest && oldest.step() == SQLITE_ROW)
        s.oldestPendingMs = sqlite3_column_int64(oldest.get(), 0);
    Statement last(m_db, "SELECT MAX(final) FROM records WHERE state='delivered'");
    if (last && last.step() == SQLITE_ROW)
        s.lastDeliveryMs = sqlite3_column_int64(last.get(), 0);
    Statement error(m_db, "SELECT last_error, error_provider FROM records WHERE last_error<>'' "
                          "ORDER BY COALESCE(final, received) DESC, id DESC LIMIT 1");
    if (error && error.step() == SQLITE_ROW) {
        s.lastError = columnText(error.get(), 0);
        s.lastErrorProvider = columnText(error.get(), 1);
    }
    return s;
}

QVector<Spool::ProviderStats> Spool::providerStats()
{
    QVector<ProviderStats> out;
    if (!m_db)
        return out;
    // A provider's last error is the last one it reported itself, whichever
    // provider the record went to afterwards.
    Statement st(m_db, "SELECT n.p, (SELECT COUNT(*) FROM records WHERE provider=n.p AND "
                       "state='delivered'), (SELECT MAX(final) FROM records WHERE provider=n.p "
                       "AND state='delivered'), (SELECT last_error FROM records WHERE "
                       "error_provider=n.p AND last_error<>'' ORDER BY id DESC LIMIT 1) FROM "
                       "(SELECT provider AS p FROM records WHERE provider<>'' UNION SELECT "
                       "error_provider FROM records WHERE error_provider<>'') n ORDER BY n.p");
    while (st && st.step() == SQLITE_ROW) {
        ProviderStats p;
        p.provider = columnText(st.get(), 0);
        p.delivered = sqlite3_column_int(st.get(), 1);
        p.lastDeliveryMs = sqlite3_column_int64(st.get(), 2);
        p.lastError = columnText(st.get(), 3);
        out.append(p);
    }
    return out;
}

QVector<Spool::Record> Spool::list(int state, qint64 sinceMs, int limit)
{
    // The newest records are what an administrator looks for; shown oldest
    // first within them so the list reads like a log.
    QByteArray sql = QByteArray("SELECT * FROM (") + selectRecords("WHERE received>=?");
    QVector<QVariant> args{sinceMs};
    if (state >= 0) {
        sql += " AND state=?";
        args.append(QString::fromLatin1(stateName(state)));
    }
    sql += " ORDER BY id DESC LIMIT ?) ORDER BY id";
    args.append(qint64(limit));
    return select(sql.constData(), args);
}

int Spool::retry(qint64 id, const Moment &at)
{
    // The age limit counts again from now: the administrator asked for it.
    // A delivered record whose report failed or never came did not reach
    // the phone as far as anyone knows: it may be sent again as well.
    Statement st(m_db, "UPDATE records SET state='queued', final=NULL, since=?, since_boot_id=?, "
                       "since_boot=? WHERE id=? AND (state IN ('dropped','expired') OR "
                       "(state='delivered' AND report IN ('failed','timeout')))");
    if (!st)
        return -1;
    st.bind(1, at.wallMs);
    st.bind(2, at.bootId);
    st.bind(3, at.bootMs);
    st.bind(4, id);
    if (st.step() != SQLITE_DONE) {
        takeError();
        return -1;
    }
    return sqlite3_changes(m_db);
}

int Spool::retryDropped(const Moment &at)
{
    Statement st(m_db, "UPDATE records SET state='queued', final=NULL, since=?, since_boot_id=?, "
                       "since_boot=? WHERE state='dropped'");
    if (!st)
        return -1;
    st.bind(1, at.wallMs);
    st.bind(2, at.bootId);
    st.bind(3, at.bootMs);
    if (st.step() != SQLITE_DONE) {
        takeError();
        return -1;
    }
    return sqlite3_changes(m_db);
}

int Spool::purge(qint64 cutoffMs, int limit)
{
    if (!m_db)
        return -1;
    Statement st(m_db, "DELETE FROM records WHERE id IN (SELECT id FROM records WHERE final IS "
                       "NOT NULL AND final<? ORDER BY final LIMIT ?)");
    if (!st)
        return -1;
    st.bind(1, cutoffMs);
    st.bind(2, qint64(limit));
    if (st.step() != SQLITE_DONE) {
        takeError();
        return -1;
    }
    const int purged = sqlite3_changes(m_db);
    if (purged > 0)
        wrote();
    return purged;
}
