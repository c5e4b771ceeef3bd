#include "spool.h"
#include "sqlitestatement.h"

// The changes the router notes between commits (states, attempts, reports,
// reopenings) and the flush that writes them in one transaction.

using namespace SpoolSql;

void Spool::noteState(qint64 id, int state, const QString &provider, const QString &path,
                      const QString &error, const Moment &at)
{
    m_notes.append(Note{id, state, provider, error, at, ReportNone, QString(), path});
}

void Spool::noteAttempt(qint64 id, const QString &provider, const QString &error)
{
    m_notes.append(Note{id, -1, provider, error, Moment(), ReportNone, QString(), QString()});
}

void Spool::noteDuplicate(qint64 id)
{
    m_notes.append(Note{id, -2, QString(), QString(), Moment(), ReportNone, QString(), QString()});
}

void Spool::noteReport(qint64 id, int report, const QString &refs, const QString &recipient,
                       const QString &reason, const Moment &at)
{
    m_notes.append(Note{id, -3, recipient, reason, at, report, refs, QString()});
}

void Spool::noteReopen(qint64 id, const QString &provider, const QString &reason,
                       const QString &errorProvider, const QString &path)
{
    m_notes.append(Note{id, -4, provider, reason, Moment(), ReportNone, errorProvider, path});
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
    return writeStates() && writeReports();
}

bool Spool::writeStates()
{
    // The path goes with the provider: a provider named without its path
    // (a caller that does not know it) leaves no other path's name behind.
    Statement toHanded(m_db, "UPDATE records SET state='handed', provider=?, path=? "
                             "WHERE id=? AND state IN ('queued','handed')");
    Statement toQueued(m_db, "UPDATE records SET state='queued' WHERE id=? AND state='handed'");
    // Only a pending record can end; a second outcome for a finished one
    // (a late answer) must not move it again.
    Statement toFinal(m_db, "UPDATE records SET state=?1, provider=CASE WHEN ?2='' THEN provider "
                            "ELSE ?2 END, path=CASE WHEN ?2='' THEN path ELSE ?6 END, "
                            "last_error=CASE WHEN ?3='' THEN last_error ELSE ?3 END, "
                            "error_provider=CASE WHEN ?3='' THEN error_provider ELSE ?2 END, "
                            "final=?4, final_boot_id=?7, final_boot=?8 "
                            "WHERE id=?5 AND state IN ('queued','handed')");
    // A send that failed names its provider; one that succeeded leaves the
    // record's last error as it was.
    Statement attempt(m_db, "UPDATE records SET attempts=attempts+1, last_error=CASE WHEN ?1='' "
                            "THEN last_error ELSE ?1 END, error_provider=CASE WHEN ?1='' THEN "
                            "error_provider ELSE ?2 END WHERE id=?3");
    Statement duplicate(m_db, "UPDATE records SET duplicates=duplicates+1 WHERE id=?");
    Statement reopen(m_db, "UPDATE records SET state='handed', provider=?, path=?, final=NULL, "
                           "final_boot_id='', final_boot=0, last_error=?, error_provider=? "
                           "WHERE id=? AND state='delivered'");
    if (!toHanded || !toQueued || !toFinal || !attempt || !duplicate || !reopen)
        return false;
    for (const Note &n : qAsConst(m_notes)) {
        int rc = SQLITE_DONE;
        if (n.state == -3) {
            continue; // after the states: a report may follow its delivery in one flush
        } else if (n.state == -4) {
            reopen.bind(1, n.provider);
            reopen.bind(2, n.path);
            reopen.bind(3, n.error);
            reopen.bind(4, n.refs);
            reopen.bind(5, n.id);
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
            toHanded.bind(2, n.path);
            toHanded.bind(3, n.id);
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
            toFinal.bind(4, n.at.wallMs);
            toFinal.bind(5, n.id);
            toFinal.bind(6, n.path);
            toFinal.bind(7, n.at.bootId);
            toFinal.bind(8, n.at.bootMs);
            rc = toFinal.step();
            toFinal.reset();
            if (rc == SQLITE_DONE && sqlite3_changes(m_db) > 0)
                --m_pending;
        }
        if (rc != SQLITE_DONE)
            return false;
    }
    return true;
}

bool Spool::writeReports()
{
    // Waiting only for a delivered record without a report yet, or again over
    // waiting with the parts of a long SMS confirmed so far, or over a lost
    // report once the next path delivered the record again (on the boot
    // clock within one boot, so a wall-clock step does not hide the later
    // delivery); a final report
    // only over waiting, or over a time-out when the report came late.
    // The error is the delivering provider's; a record reopened for another
    // provider in the same flush already names it.
    Statement st(
        m_db, "UPDATE records SET report=?1, report_time=CASE WHEN ?1='waiting' THEN "
              "NULL ELSE ?2 END, report_boot_id=CASE WHEN ?1='waiting' THEN '' ELSE ?7 END, "
              "report_boot=CASE WHEN ?1='waiting' THEN 0 ELSE ?8 END, report_refs=CASE WHEN "
              "?3='' THEN report_refs ELSE ?3 "
              "END, report_recipient=CASE WHEN ?4='' THEN report_recipient ELSE ?4 END, "
              "report_text=CASE WHEN ?1='waiting' THEN '' ELSE ?5 END, "
              "last_error=CASE WHEN ?5='' OR ?1='confirmed' THEN last_error ELSE ?5 END, "
              "error_provider=CASE WHEN ?5='' OR ?1='confirmed' OR state<>'delivered' THEN "
              "error_provider ELSE provider END "
              "WHERE id=?6 AND "
              "(CASE ?1 WHEN 'waiting' THEN state='delivered' AND (report IN ('none','waiting') OR "
              "(report IN ('failed','timeout') AND CASE WHEN final_boot_id<>'' AND "
              "final_boot_id=report_boot_id THEN final_boot>report_boot ELSE "
              "final>report_time END)) "
              "WHEN 'timeout' THEN report='waiting' "
              "ELSE report IN ('waiting','timeout') END)");
    if (!st)
        return false;
    for (const Note &n : qAsConst(m_notes)) {
        if (n.state != -3)
            continue;
        st.bind(1, QString::fromLatin1(reportName(n.report)));
        st.bind(2, n.at.wallMs);
        st.bind(3, n.refs);
        st.bind(4, n.provider);
        st.bind(5, n.error);
        st.bind(6, n.id);
        st.bind(7, n.at.bootId);
        st.bind(8, n.at.bootMs);
        const int rc = st.step();
        st.reset();
        if (rc != SQLITE_DONE)
            return false;
    }
    return true;
}
