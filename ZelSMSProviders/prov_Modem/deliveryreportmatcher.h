#pragma once

#include "ismsoutcomeinterface.h"
#include "smspdu.h"

#include <QByteArray>
#include <QList>
#include <QVector>

// Finds the record a status report speaks of. The network names an SMS only
// by the message reference the modem gave it (+CMGS: <mr>, one octet that
// wraps from 255 to 0) and the recipient, so a record is remembered with the
// reference of each of its parts and its number. A report goes to the newest
// send whose part with that reference and number is still unanswered: after
// a wrap the older holder of a reference is the one more likely answered
// already. A long SMS is confirmed when every part is, failed when any part
// is. Pure bookkeeping: no clock, no I/O, no log.
class DeliveryReportMatcher
{
public:
    struct Match
    {
        enum Kind
        {
            Unknown,   // no send waits for this reference and number
            Duplicate, // the same report was matched already
            Progress,  // a part moved on; the record is not decided yet
            Decided    // the record's report is final: state says which
        };
        Kind kind = Unknown;
        QVector<quint64> ids; // the host's ids of the record (folded duplicates ride along)
        int state = ReportWaiting;
        int part = 0;  // 1-based part the report answered
        int parts = 0; // parts of the record
        // A Progress that confirmed a part: every part's reference and
        // whether it is confirmed now (empty for any other match).
        QVector<int> references;
        QVector<bool> confirmed;
        QString reason; // e.g. "TP-ST 0x41"
    };

    explicit DeliveryReportMatcher(int capacity = 4096) : m_capacity(capacity) {}

    // A record the modem accepted: the reference of every part, in order, and
    // the number it went to. Beyond the capacity the oldest send is forgotten.
    void expect(const QVector<quint64> &ids, const QVector<int> &references,
                const QByteArray &recipient);
    // A record sent before the provider last started, handed back by the host
    // after a restart: older than every send made since, newer than the ones
    // restored before it. An id already known is left as it is (the host
    // hands them again after a reload); records restored with the same
    // references and number were one send of folded duplicates and share it.
    // Parts confirmed before the restart (true in confirmed) wait no more.
    void restore(quint64 id, const QVector<int> &references, const QVector<bool> &confirmed,
                 const QByteArray &recipient);
    Match match(const SmsPdu::StatusReport &report);
    // The host gave up waiting for these ids (time-out, stop).
    void forget(quint64 id);
    void clear();
    int waitingCount() const { return m_sends.size(); }

    // The part of a number that both the sent and the reported form share:
    // its last ten digits ("89001234567", "+79001234567" and "9001234567"
    // are one number); shorter numbers and names as they are.
    static QByteArray normalizedNumber(const QByteArray &number);

private:
    enum PartState
    {
        PartWaiting,
        PartConfirmed
    };
    struct Send
    {
        QVector<quint64> ids;
        QVector<int> references;
        QVector<int> parts;    // PartState per part
        QByteArray recipient;  // normalised
        bool restored = false; // restored sends stay together at the front
    };
    struct Fingerprint
    {
        int reference;
        QByteArray recipient;
        QDateTime serviceCentreTime;
        QDateTime dischargeTime;
        int status;
        bool operator==(const Fingerprint &o) const;
    };
    static Fingerprint fingerprintOf(const SmsPdu::StatusReport &report);
    bool seenBefore(const Fingerprint &f) const;
    void remember(const Fingerprint &f);

    QList<Send> m_sends;          // oldest first
    QList<Fingerprint> m_matched; // recent reports already matched, oldest first
    int m_capacity;
};
