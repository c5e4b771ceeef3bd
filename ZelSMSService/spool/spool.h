#pragma once

#include "ismsoutcomeinterface.h"
#include "smsmessage.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

struct sqlite3;
struct sqlite3_stmt;
class QVariant;

// The durable store of every request the service acknowledged, and the
// delivery journal built from it: one SQLite file in WAL mode. A request is
// acknowledged only after the transaction that stores it has committed, so an
// acknowledgement means "on disk". State changes reported by providers are
// collected and written in one transaction at the next flush, because losing
// one of them costs at most a duplicate SMS, never a lost one.
//
// The class touches no socket and no timer; the controller decides when to
// flush, when to poll and what to log.
class Spool
{
public:
    // Stored as their names, so the file reads well with the sqlite3 shell.
    enum State
    {
        Queued = 0,    // waiting for a provider
        Handed = 1,    // given to a provider
        Delivered = 2, // the provider confirmed it
        Dropped = 3,   // an operator took it out (no provider ends a record so)
        Rejected = 4,  // can never be sent
        Expired = 5,   // older than the age limit before it went out
        StateCount = 6
    };
    static const char *stateName(int state);
    static int stateFromName(const QString &name); // -1 when unknown
    static bool isFinal(int state) { return state >= Delivered; }

    enum Sync
    {
        SyncFull,
        SyncNormal
    };

    // Delivery-report states (SmsReportState), stored as their names.
    static const char *reportName(int report);
    static int reportFromName(const QString &name); // -1 when unknown

    static constexpr int SchemaVersion = 5;

    // A moment as the spool keeps it: the wall clock for display and for a
    // later boot, the boot clock for durations within this boot (see BootClock).
    struct Moment
    {
        qint64 wallMs = 0;
        QString bootId; // empty: only the wall clock is known
        qint64 bootMs = 0;
    };
    static Moment now();
    // Milliseconds since the moment, on the boot clock when it lies in this boot.
    static qint64 elapsedSince(const Moment &m);

    // $ZELSMS_STATE_DIR/spool.db, else /var/lib/zelsms/spool.db for root,
    // else $XDG_STATE_HOME/zelsms/spool.db (default ~/.local/state).
    static QString defaultPath();

    struct Record
    {
        qint64 id = 0;
        qint64 receivedMs = 0;
        Moment since; // received, or the operator's last retry: the age counts from it
        quint32 requestId = 0;
        QString source;
        QString phone;
        QByteArray phoneBytes; // the 15-byte field as received
        QByteArray textBytes;  // the 224-byte field as received
        int textLength = 0;
        int encoding = 0;
        QString text;
        int state = Queued;
        int attempts = 0;
        QString lastError;
        QString errorProvider; // whose error lastError is
        QString provider;
        QString path;        // the provider's settings group; "" where only the provider is known
        qint64 finalMs = 0;  // 0 while not final
        int duplicates = 0;  // deliveries after the first
        int report = 0;      // SmsReportState
        qint64 reportMs = 0; // when the report reached its state; 0 while none or waiting
        // What the provider matches the report by: the modem's message reference
        // of each part, "17+,18" ("+": confirmed), or a gateway's "id:" and its id.
        QString reportRefs;
        QString reportRecipient;
        QString reportText; // the network's or gateway's words with the final report

        SMSMessage message() const; // the record exactly as the station sent it
    };

    // One request of a group stored together; id and duplicate are set by store().
    struct Incoming
    {
        SMSMessage msg{};
        quint32 requestId = 0;
        QString source;
        int state = Queued; // Queued, Handed or Rejected
        QString provider;   // for Handed
        QString path;       // for Handed: the settings group of the path that holds it
        QString error;      // for Rejected
        qint64 id = 0;
        bool duplicate = false; // the station repeated a request already stored
        // No room for a new record: looked up as a repeat, never inserted
        // (id stays 0 unless it is a duplicate).
        bool repeatOnly = false;
    };

    struct Status
    {
        int counts[StateCount] = {};
        qint64 oldestPendingMs = 0; // received time of the oldest queued/handed, 0 if none
        qint64 lastDeliveryMs = 0;
        QString lastError;
        int reports[ReportStateCount] = {}; // records per SmsReportState
        QString lastErrorProvider;
    };

    struct ProviderStats
    {
        QString provider;
        int delivered = 0;
        qint64 lastDeliveryMs = 0;
        QString lastError;
    };

    Spool();
    ~Spool();
    Spool(const Spool &) = delete;
    Spool &operator=(const Spool &) = delete;

    // Opens (creating the folder 0700 and the file 0600) and migrates the
    // schema forward. False with error() set when the file cannot be used;
    // tooNew() tells that it was written by a newer version and left untouched.
    bool open(const QString &path, Sync sync = SyncFull);
    bool openReadOnly(const QString &path);
    void close();
    bool isOpen() const { return m_db != nullptr; }
    bool tooNew() const { return m_tooNew; }
    QString path() const { return m_path; }
    QString error() const { return m_error; }
    // How long a call waits for another connection's lock before it fails
    // with busy() set; taken at the next open and at once on an open spool.
    void setBusyTimeoutMs(int ms);
    // The last failure was another connection holding the lock: worth trying
    // again shortly, nothing is wrong with the file.
    bool busy() const { return m_busy; }

    // True when the file at path() is no longer the one open here (removed,
    // or replaced by another file; the same for the -wal beside it). Every
    // commit looks first and fails with moved() set: what is written to an
    // unlinked file is gone at the next start.
    // The same for a file damaged in place: shorter than it was written, its
    // header overwritten, its schema version gone, or SQLite finding it
    // corrupt (damage() then says how).
    bool hasMoved();
    bool moved() const { return m_moved || !m_damage.isEmpty(); }
    QString damage() const { return m_damage; }
    // Creates the spool again at path() and writes into it every record not
    // yet final, read through the connection still open on the old file,
    // with their ids, the path history (its newest PathHistoryMaxRows rows:
    // the monthly report's outages must not vanish with a damaged file), and
    // then the noted changes. Files found at the path are
    // moved aside (a replacement or a damaged file) or removed (what is left
    // of a removed spool). A damaged file may no longer read: what it does
    // not give back is taken from held, the caller's own copy of the records
    // still pending. On failure the old connection stays open for the next try.
    bool recreate(int *rewritten, const QVector<Record> &held = QVector<Record>());

    // The -wal keeps the size of the largest burst; a truncating checkpoint
    // when the service is idle gives the space back. False (busy() set) when
    // a reader or writer of another connection is in the way.
    bool truncateWal();
    bool walDirty() const { return m_walDirty; }
    qint64 msSinceWrite() const { return m_lastWrite.isValid() ? m_lastWrite.elapsed() : 0; }

    // Stores the group in one transaction together with every state change
    // noted so far. A request the same source sent with the same id, number
    // and text within dedupWindowMs is not stored again: duplicate is set and
    // id names the stored one. The window is measured on the boot clock when
    // both lie in one boot, so a step of the wall clock neither stores a
    // repeat again nor swallows a new request. False (nothing stored, the
    // noted changes kept for the next try) when the transaction did not commit.
    bool store(QVector<Incoming> *group, const Moment &at, qint64 dedupWindowMs = DedupWindowMs);
    // At a wall-clock time only (tests, and files written by hand).
    bool store(QVector<Incoming> *group, qint64 nowMs, qint64 dedupWindowMs = DedupWindowMs)
    {
        return store(group, Moment{nowMs, QString(), 0}, dedupWindowMs);
    }
    static constexpr qint64 DedupWindowMs = 10 * 60 * 1000;

    // State changes, written at the next flush() or store(). path is the
    // settings group the provider runs on: two paths may run one provider.
    void noteState(qint64 id, int state, const QString &provider, const QString &path,
                   const QString &error, const Moment &at);
    // At a wall-clock time only, the provider's path unknown.
    void noteState(qint64 id, int state, const QString &provider, const QString &error,
                   qint64 nowMs)
    {
        noteState(id, state, provider, QString(), error, Moment{nowMs, QString(), 0});
    }
    // One hand-over of the record to a provider's send; a non-empty error
    // becomes the record's last error, named as that provider's.
    void noteAttempt(qint64 id, const QString &provider, const QString &error);
    // A second provider delivered a record that was delivered already.
    void noteDuplicate(qint64 id);
    // A delivery report's news. Waiting comes only after none (or again with
    // the parts of a long SMS confirmed so far); a final report
    // state only after waiting, or a late report after timeout, so a stray or
    // repeated report never turns a confirmed record into a failed one. A
    // final state's reason is its report text, and but for a confirmation
    // also the record's last error. The moment's boot clock lets the
    // report's durations ignore a wall-clock step.
    void noteReport(qint64 id, int report, const QString &refs, const QString &recipient,
                    const QString &reason, const Moment &at);
    void noteReport(qint64 id, int report, const QString &refs, const QString &recipient,
                    const QString &reason, qint64 nowMs)
    {
        noteReport(id, report, refs, recipient, reason, Moment{nowMs, QString(), 0});
    }
    // A delivered record whose report failed or never came goes out again
    // through another provider: handed to it, the reason as its last error,
    // named as the error of the provider whose report it was. Only a
    // delivered record is reopened; the send that follows counts as an
    // attempt of its own. path: the settings group of the path that gets it.
    void noteReopen(qint64 id, const QString &provider, const QString &reason,
                    const QString &errorProvider, const QString &path = QString());
    // One record by id; id 0 when there is none.
    Record record(qint64 id);
    bool hasNotes() const { return !m_notes.isEmpty() || !m_pathChanges.isEmpty(); }
    bool flush();

    // Records queued or handed, oldest first.
    int pendingCount() const { return m_pending; }
    QVector<Record> records(int state, int limit, qint64 afterId = 0);
    // Counts the pending records again (the journal tool may have changed them).
    void recountPending();
    // True once after another connection (the journal tool) changed the file.
    bool changedElsewhere();
    // Handed records go back to queued (an orderly stop: none of them was sent
    // as far as anyone knows).
    int requeueHanded();
    // Delivered records whose report is still awaited, oldest first.
    QVector<Record> waitingReports(int limit);
    // Records the provider delivered at or after sinceMs (wall clock) whose
    // report failed or never came, oldest first.
    QVector<Record> lostReports(const QString &provider, qint64 sinceMs, int limit);
    // Removes at most limit final records finished before cutoffMs.
    int purge(qint64 cutoffMs, int limit);

    // One change of a delivery path's state (table path_history, see
    // PathMonitor), written at the next flush() or store(): a change costs
    // no commit of its own.
    struct PathChange
    {
        QString path;     // settings group; "station" for the station link, "" for the service
        QString provider; // provider id; "" for the station link and the service
        QString state;
        QString reason;
        Moment at;
    };
    void notePathChange(const PathChange &change) { m_pathChanges.append(change); }
    // Removes at most limit rows of the path history: those older than
    // cutoffMs and those beyond the newest maxRows.
    int purgePathHistory(qint64 cutoffMs, int maxRows, int limit);
    static constexpr int PathHistoryDays = 400;
    static constexpr int PathHistoryMaxRows = 200000;
    // Records queued and handed, and when the oldest of them was received (0: none).
    bool pendingCounts(int *queued, int *handed, qint64 *oldestReceivedMs);

    // The journal.
    Status status();
    QVector<ProviderStats> providerStats();
    QVector<Record> list(int state, qint64 sinceMs, int limit);
    // Final dropped/expired records back to queued: one id (also a delivered
    // one whose report failed or timed out), or every dropped one.
    // The age limit counts again from the moment given.
    int retry(qint64 id, const Moment &at);
    int retryDropped(const Moment &at);
    int retry(qint64 id, qint64 nowMs) { return retry(id, Moment{nowMs, QString(), 0}); }
    int retryDropped(qint64 nowMs) { return retryDropped(Moment{nowMs, QString(), 0}); }

private:
    bool openFile(const QString &path, bool readOnly);
    bool exec(const char *sql);
    bool setUp(Sync sync);
    int schemaVersion();
    bool checkVersion();
    bool migrate();
    bool migrateTo(int version);
    bool begin();
    bool commit();
    void rollback();
    bool abandon();   // rolls back a failed transaction; always false
    void takeError(); // error() and busy() from the connection's last failure
    void wrote();
    void rememberWal();
    bool setUpFile(const QString &path, Sync sync);
    // Rows of a table as they are, every column, whatever the schema version adds.
    struct Rows
    {
        QStringList columns;
        QVector<QVector<QVariant>> rows;
    };
    bool readRows(const char *sql, Rows *out);
    bool readPending(Rows *pending, qint64 *sequence);
    bool insertRows(const char *table, const Rows &rows);
    bool insertHeld(const QVector<Record> &held);
    bool writeRescued(const Rows &pending, const Rows &history, const QVector<Record> &held,
                      qint64 sequence);
    bool checkDamage(); // true when damage() is set
    void rememberSize();
    bool clearPath(); // false when a file is still in the way
    bool writeNotes();
    bool writeStates();
    bool writeReports();
    bool writePathChanges();
    int countPending();
    QString sqliteError() const;
    // "SELECT <every record column> FROM records " followed by rest.
    static QByteArray selectRecords(const char *rest);
    Record readRecord(sqlite3_stmt *st) const;
    QVector<Record> select(const char *sql, const QVector<QVariant> &args);

    struct Note
    {
        qint64 id;
        int state; // -1: an attempt, -2: a duplicate delivery, -3: a report, -4: a reopening
        QString provider;
        QString error;
        Moment at;
        int report = 0;
        QString refs; // a report's; a reopening's error provider. A report's recipient
                      // travels in provider.
        QString path;
    };

    sqlite3 *m_db = nullptr;
    QString m_path;
    QString m_error;
    Sync m_sync = SyncFull;
    int m_busyMs = 5000;
    bool m_busy = false;
    bool m_moved = false;
    bool m_walDirty = false;
    QElapsedTimer m_lastWrite;
    quint64 m_walDevice = 0;
    quint64 m_walInode = 0;
    qint64 m_fileSize = 0;  // the file's size after the last commit: it never shrinks
    qint64 m_highestId = 0; // ids up to here were given out
    QString m_damage;
    bool m_tooNew = false;
    int m_pending = 0;
    qint64 m_dataVersion = -1;
    QVector<Note> m_notes;
    QVector<PathChange> m_pathChanges;
};
