#pragma once

#include "smsmessage.h"

#include <QString>
#include <QVector>
#include <QtPlugin>

// What became of one record a provider was given with enqueueTracked().
enum SmsOutcome
{
    OutcomeDelivered = 0, // the gateway accepted it, or the modem answered +CMGS
    // The attempt was cut off because the path itself went away under it (a
    // modem's port closed mid-send): it counts, and the provider keeps the
    // record at the head of its queue for when the path is back.
    OutcomeRetrying = 1,
    // This attempt failed on the path (a gateway's error, no reply, a modem's
    // +CMS ERROR): the record is the host's again, which decides when and
    // where it goes next. Not the record's fault.
    OutcomePathFailed = 2,
    OutcomeRejected = 3 // it can never be sent (an invalid number, a refusal of the message)
};

// What is known of a delivered record reaching the phone. A provider that
// cannot tell (every HTTP gateway today) leaves it at ReportNone.
enum SmsReportState
{
    ReportNone = 0,      // not requested, or the path cannot report
    ReportWaiting = 1,   // requested; the network has not said yet (or still tries)
    ReportConfirmed = 2, // the phone has it (every part of a long SMS)
    ReportFailed = 3,    // the network gave up on it
    ReportTimeout = 4,   // no final word within the host's time-out (set by the host)
    ReportStateCount = 5
};

// A later word on a record that was already reported delivered. Waiting names
// what the provider will match the reports by, for the journal.
struct SmsReportNote
{
    int state = ReportNone;
    QVector<int> references; // the message reference of each part, in order
    // Waiting only, for a long SMS: which parts the network has confirmed so
    // far (empty: none), so that a restart does not wait for them again.
    QVector<bool> confirmed;
    QString recipient; // the number the reports will name
    // Waiting, from a gateway: its id for the message, which its status
    // requests ask by (no references then).
    QString messageId;
    // For the log and the journal, e.g. the network's status; with a final
    // state the journal keeps it as the report's text.
    QString reason;
};

// Receives the outcomes; implemented by the host (in the service, the
// delivery router, one sink per provider role).
class ISmsOutcomeSink
{
public:
    virtual ~ISmsOutcomeSink() = default;
    // Called on the host's thread, possibly from inside enqueueTracked().
    virtual void smsOutcome(quint64 spoolId, int outcome, const QString &reason) = 0;
    // One attempt failed on the path, told once before the OutcomePathFailed
    // of each record it carried: the failures of a path are counted per
    // attempt, and its pause of pauseMs (the provider's ParamRetryPause) runs
    // from when the attempt began, attemptAgeMs ago on the provider's
    // monotonic clock.
    virtual void pathFailed(const QString &reason, qint64 attemptAgeMs, qint64 pauseMs)
    {
        Q_UNUSED(reason);
        Q_UNUSED(attemptAgeMs);
        Q_UNUSED(pauseMs);
    }
    // A second, later outcome for a record already reported OutcomeDelivered:
    // first ReportWaiting when the provider asked for a report, then
    // ReportConfirmed or ReportFailed when the network answers. It may come
    // long after the delivery, and never for a record the provider did not
    // deliver. A host that keeps no reports ignores it.
    virtual void smsReport(quint64 spoolId, const SmsReportNote &note)
    {
        Q_UNUSED(spoolId);
        Q_UNUSED(note);
    }
};

// The optional second contract of a provider plug-in: records handed over with
// the host's id, and one outcome per record. The provider is the transport of
// its path: it builds its requests, sends one at a time and keeps the pause
// of its own requests after a failure, but it never tries a record twice nor
// lets records go by a rule of its own; which path gets a record, when a
// failed one is tried again and when a path counts as down is the host's.
// Identical records waiting together go out once: the copy that is not sent
// ends with the outcome of the one that is. Every record given here ends
// with exactly one final outcome (delivered, path failed or rejected) unless
// the provider is stopped first; after stop() the host owns what was not
// finished. A delivered record may later get report notes
// (ISmsOutcomeSink::smsReport).
class ISmsOutcomeInterface
{
public:
    virtual ~ISmsOutcomeInterface() = default;

    virtual void setOutcomeSink(ISmsOutcomeSink *sink) = 0;
    // Queues the record as enqueueSms() does and reports its outcome under spoolId.
    virtual int enqueueTracked(quint64 spoolId, const SMSMessage &msg) = 0;
    // Takes the record back if it still waits in the queue (not yet in flight);
    // no outcome follows then. False when it is in flight or unknown; a record
    // in flight then ends by the outcome of its attempt, and is not put back
    // into the queue should that attempt be cut off.
    virtual bool withdraw(quint64 spoolId) = 0;
    // Started and able to work (a provider whose settings are unusable is not).
    virtual bool isRunning() const = 0;
    // How many of the records it was given are being sent right now (a
    // request or a PDU on its way); -1: it cannot tell. For the operator's view.
    virtual int recordsInFlight() const { return -1; }
    // A record this provider delivered before it last started whose report is
    // still awaited (the service was restarted): the reference of each part,
    // in order, the parts already confirmed (empty: none) and the number the
    // reports will name, as its last ReportWaiting note gave them. Its report
    // is then matched as before the restart. A provider that cannot report
    // ignores it.
    virtual void awaitReports(quint64 spoolId, const QVector<int> &references,
                              const QVector<bool> &confirmed, const QString &recipient)
    {
        Q_UNUSED(spoolId);
        Q_UNUSED(references);
        Q_UNUSED(confirmed);
        Q_UNUSED(recipient);
    }
    // The same for a record a gateway took, by the id its last ReportWaiting
    // note gave (SmsReportNote::messageId).
    virtual void awaitStatus(quint64 spoolId, const QString &messageId, const QString &recipient)
    {
        Q_UNUSED(spoolId);
        Q_UNUSED(messageId);
        Q_UNUSED(recipient);
    }
};

#define ISmsOutcomeInterface_iid "org.zel.sms.ISmsOutcomeInterface"
Q_DECLARE_INTERFACE(ISmsOutcomeInterface, ISmsOutcomeInterface_iid)

namespace ResultKey {
// In a send's result map: the positions (0-based, in batch order) of the
// messages the gateway refused in a batch that otherwise counted as sent,
// each with the gateway's reason in RefusedReasons at the same index.
inline const char *const Refused = "refused";
inline const char *const RefusedReasons = "refused_reasons";
// In a send's result map: the gateway's id of each message by batch position
// (a string list; empty where the reply named none), for its status requests.
inline const char *const MessageIds = "message_ids";
// In a status reply's result map, by the position of each message asked
// about: its GatewayStatus::Answer, and the gateway's own status text.
inline const char *const Statuses = "statuses";
inline const char *const StatusTexts = "status_texts";
} // namespace ResultKey
