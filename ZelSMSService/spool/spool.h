#pragma once

#include "ismsoutcomeinterface.h"
#include "smsmessage.h"

#include <QByteArray>
#include <QMap>
#include <QString>
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
        Dropped = 3,   // the provider's drop rule discarded it
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

    static constexpr int SchemaVersion = 3;

    // $ZELSMS_STATE_DIR/spool.db, else /var/lib/zelsms/spool.db for root,
    // else $XDG_STATE_HOME/zelsms/spool.db (default ~/.local/state).
    static QString defaultPath();

    struct Record
    {
        qint64 id = 0;
        qint64 receivedMs = 0;
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
        QString provider;
        qint64 finalMs = 0;  // 0 while not final
        int duplicates = 0;  // deliveries after the first
        int report = 0;      // SmsReportState
        qint64 reportMs = 0; // when the report reached its state; 0 while none or waiting
        QString reportRefs;  // message reference of each part, "17,18"
        QString reportRecipient;

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
        QString error;      // for Rejected
        qint64 id = 0;
        bool duplicate = false; // the station repeated a request already stored
    };

    struct Status
    {
        int counts[StateCount] = {};
        qint64 oldestPendingMs = 0; // received time of the oldest queued/handed, 0 if none
        qint64 lastDeliveryMs = 0;
        QString lastError;
        int reports[ReportStateCount] = {}; // records per SmsReportState
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

    // Stores the group in one transaction together with every state change
    // noted so far. A request the same source sent with the same id, number
    // and text within dedupWindowMs is not stored again: duplicate is set and
    // id names the stored one. False (nothing stored, the noted changes kept
    // for the next try) when the transaction did not commit.
    bool store(QVector<Incoming> *group, qint64 nowMs, qint64 dedupWindowMs = 10 * 60 * 1000);

    // State changes, written at the next flush() or store().
    void noteState(qint64 id, int state, const QString &provider, const QString &error,
                   qint64 nowMs);
    void noteAttempt(qint64 id, const QString &error);
    // A second provider delivered a record that was delivered already.
    void noteDuplicate(qint64 id);
    // A delivery report's news. Waiting comes only after none; a final report
    // state only after waiting, or a late report after timeout, so a stray or
    // repeated report never turns a confirmed record into a failed one.
    void noteReport(qint64 id, int report, const QString &refs, const QString &recipient,
                    const QString &reason, qint64 nowMs);
    // A delivered record whose report failed or never came goes out again
    // through another provider: handed to it, one more attempt, the reason
    // as its last error. Only a delivered record is reopened.
    void noteReopen(qint64 id, const QString &provider, const QString &reason);
    // One record by id; id 0 when there is none.
    Record record(qint64 id);
    bool hasNotes() const { return !m_notes.isEmpty(); }
    bool flush();

    // Records queued or handed, oldest first.
    int pendingCount() const { return m_pending; }
    QVector<Record> records(int state, int limit, qint64 afterId = 0);
    // Queued (and handed, when asked) records waiting since before cutoffMs
    // become expired at the next flush; returns them.
    QVector<Record> expire(qint64 cutoffMs, qint64 nowMs, bool includeHanded);
    // Counts the pending records again (the journal tool may have changed them).
    void recountPending();
    // True once after another connection (the journal tool) changed the file.
    bool changedElsewhere();
    // Handed records go back to queued (an orderly stop: none of them was sent
    // as far as anyone knows).
    int requeueHanded();
    // Delivered records whose report is still awaited, oldest first.
    QVector<Record> waitingReports(int limit);
    // Removes at most limit final records finished before cutoffMs.
    int purge(qint64 cutoffMs, int limit);

    // The journal.
    Status status();
    QVector<ProviderStats> providerStats();
    QVector<Record> list(int state, qint64 sinceMs, int limit);
    // Final dropped/expired records back to queued: one id, or every dropped one.
    // The age limit counts again from nowMs.
    int retry(qint64 id, qint64 nowMs);
    int retryDropped(qint64 nowMs);

private:
    bool openFile(const QString &path, bool readOnly);
    bool exec(const char *sql);
    bool setUp(Sync sync);
    int schemaVersion();
    bool checkVersion();
    bool migrate();
    bool begin();
    bool commit();
    void rollback();
    bool abandon(); // rolls back a failed transaction; always false
    bool writeNotes();
    bool writeReports();
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
        qint64 atMs;
        int report = 0;
        QString refs; // and provider holds the report's recipient
    };

    sqlite3 *m_db = nullptr;
    QString m_path;
    QString m_error;
    bool m_tooNew = false;
    int m_pending = 0;
    qint64 m_dataVersion = -1;
    QVector<Note> m_notes;
};
