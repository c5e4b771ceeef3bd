#pragma once

#include "deliverystats.h"
#include "ismsoutcomeinterface.h"
#include "routerclock.h"
#include "smsmessage.h"
#include "spool.h"
#include "spoolcustody.h"
#include "stationadmission.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <QVector>
#include <deque>
#include <memory>
#include <set>

class ICommonSmsInterface;
class QTimer;
class ReportWatch;
struct StationRequest;

// Carries every stored request to a provider and every outcome back into the
// spool. A record leaves the pending set only by delivery, by a refusal that
// concerns that record, by its own age, or by an operator's journal tool:
// provider-wide trouble (failures in a row, a gateway down, a modem gone, a
// provider that did not start) never finishes one.
//
// A record is handed only to a provider that is running, the primary first.
// When a fallback is configured and runs, a record also goes to it when the
// primary is not running, rejects it, or has not delivered it a set time
// after it was handed over; the copy still waiting at the primary is
// withdrawn then. A provider that stops running gives its records back; a
// provider whose drop rule empties its queue gets them again after its
// pause (the other path takes them meanwhile if it runs). Records no running
// provider can take wait queued. Once delivered by either path, a record is
// withdrawn from the other, which then does not send it again; should both
// have sent it, the first delivery counts and the second is recorded as a
// duplicate. A record the primary delivered but whose delivery report says
// it failed, or does not come in time, goes once to the fallback as well
// (when the fallback runs again, if it does not run then), and never back
// to the primary: the spool's report state says so after a restart too.
// Durations are measured on the boot clock, so a step of the wall clock
// neither delays nor hurries anything. The spool's care is SpoolCustody's,
// what is stored and acknowledged StationAdmission's; the router owns both
// and answers their questions about the records it holds.
class DeliveryRouter : public QObject,
                       private SpoolCustody::Keeper,
                       private StationAdmission::Receiver
{
    Q_OBJECT
public:
    enum Role
    {
        Primary = 0,
        Fallback = 1,
        NoRole = -1
    };

    struct Provider
    {
        QString id;
        ICommonSmsInterface *sms = nullptr;
        ISmsOutcomeInterface *tracked = nullptr; // null: counts as delivered on hand-over
        bool loaded() const { return sms != nullptr; }
    };

    struct Settings
    {
        Spool::Sync sync = Spool::SyncFull;
        int maxAgeMinutes = 1440;
        int maxPending = 100000;
        int historyDays = 90;
        int fallbackAfterSeconds = 60;
        // A delivered record whose report does not come this long after the
        // provider accepted it counts as timed out.
        qint64 reportTimeoutMs = 10 * 60 * 1000;
    };

    explicit DeliveryRouter(QObject *parent = nullptr);
    ~DeliveryRouter() override;

    // Empty: Spool::defaultPath().
    void setSpoolPath(const QString &path) { m_custody.setSpoolPath(path); }
    Spool &spool() { return m_custody.spool(); }

    // Opens the spool, expires what is too old and hands the rest over,
    // oldest first. The providers must have been started already.
    void start(const Settings &settings, const Provider &primary, const Provider &fallback);
    // Before the providers stop: a send they are in the middle of counts as
    // an attempt, as it may reach the phone although no outcome will come.
    void providersStopping();
    // Writes what is noted and puts records the providers did not finish back
    // to queued; the providers must have been stopped already.
    void stop();

    // Stores a group of station requests and marks the ones to acknowledge.
    void store(QVector<StationRequest> *group) { m_admission.store(group); }
    // A new request would be refused for want of room: spoolMaxPending
    // reached, or the spool cannot be written (it did not open, or the last
    // store failed: a full disk). The station is told by the status it receives.
    bool refusingForRoom() const { return m_admission.refusingForRoom(); }

    void outcome(int role, quint64 spoolId, int outcome, const QString &reason);
    // A delivery report's news for a record the provider delivered.
    void report(int role, quint64 spoolId, const SmsReportNote &note);

    // Tests shorten the look at the providers' running state, and move the
    // router's clocks (the boot clock and the wall clock alike) forward.
    void setPollInterval(int ms);
    // Counted since start, for the metrics file.
    const DeliveryStats &stats() const { return m_stats; }
    // What was noted in the spool from outside (a path's change) goes with the next flush.
    void flushSoon() { scheduleFlush(); }
    void advanceClock(qint64 ms) { m_clock.advance(ms); }

private slots:
    void checkFallbackDeadlines();
    void poll();
    void reportTimedOut(qint64 id, int role);

private:
    // What the router knows of a pending record.
    struct Route
    {
        SMSMessage msg{};
        QString phone;
        Spool::Moment since; // the age counts from here
        bool atPrimary = false;
        bool atFallback = false;
        bool delivered = false;
        bool handed = false;          // handed in the spool, as far as the router noted
        qint64 waitingSince = -1;     // boot ms it began to wait for a provider; -1: not waiting
        bool warned = false;          // its long wait was logged
        bool overdue = false;         // at the primary past the time limit, no fallback ran
        qint64 heldUntil[2] = {0, 0}; // a provider whose drop rule let it go: boot ms
        bool refused[2] = {false, false}; // a provider that refused the record itself
        // Delivered once and its report failed or never came: only the
        // fallback sends it again, however often that lets it go.
        bool reportLost = false;
        bool waiting() const { return !atPrimary && !atFallback && !delivered; }
    };

    // SpoolCustody::Keeper
    void spoolOpened() override { recover(); }
    void spoolChangedElsewhere() override { handPending(Spool::Queued); }
    void lookAtAges() override { expireOld(); }
    bool holdsRecords() const override { return !m_routes.isEmpty() || !m_waiting.empty(); }
    QVector<Spool::Record> heldRecords() const override;
    // StationAdmission::Receiver
    QString takerOfNew() const override;
    void admitted(qint64 id, const SMSMessage &msg, const Spool::Moment &at, int state) override
    {
        handOver(id, msg, at, state, true);
    }
    void groupStored() override { armPoll(); }

    void recover();
    // Records past the age limit are withdrawn and become expired, each named
    // in the log; one in flight ends by its outcome, it is not sent again.
    void expireOld();
    bool tooOld(const Route &route) const;
    void expireRecord(qint64 id);
    // The count of a pass's expired records, when more than were named.
    void countExpired();
    int handPending(int state);
    int roleFor() const;
    // The provider a waiting record goes to now, or NoRole.
    int roleFor(const Route &route) const;
    // spoolState: the record's state in the spool; justStored: stored by
    // store() a moment ago, as handed to the provider roleFor() names;
    // reportLost: see Route.
    void handOver(qint64 id, const SMSMessage &stored, const Spool::Moment &since, int spoolState,
                  bool justStored, bool reportLost = false);
    // To the first provider that runs and may have it, else waits queued.
    void dispatch(qint64 id, Route &route, bool noteHanded = true);
    void park(qint64 id, Route &route);
    void dispatchWaiting();
    void warnLongWaits();
    void give(int role, qint64 id, Route &route, bool noteHanded);
    void toFallback(qint64 id, const QString &why);
    void delivered(int role, qint64 id);
    // A refusal of the record itself.
    void failed(int role, qint64 id, const QString &reason);
    void letGo(int role, qint64 id, const QString &reason);
    void takeBack(int role);
    void noteRunning();
    void armFallbackTimer();
    // At the pace of what it has to look for (see the .cpp).
    void armPoll();
    // A record whose report failed or never came goes once to the fallback;
    // while that does not run, it is kept for when it does.
    // quietWait: a fallback not running is not logged per record.
    void escalate(qint64 id, int role, const QString &why, bool quietWait = false);
    // Those the primary delivered within the age limit whose report was lost
    // while no fallback could take them (before this start, or since).
    void escalateLost();
    // After a restart the waits for reports begin again.
    void watchWaitingReports();
    // Hands a record waiting for its report to the provider that delivered it.
    bool awaitReport(const Spool::Record &r, const Provider &p);
    void scheduleFlush() { m_custody.scheduleFlush(); }
    void flush() { m_custody.flush(); }
    bool running(int role) const;
    bool anyRunning() const { return running(Primary) || running(Fallback); }
    int pauseMs(int role) const;
    const Provider &provider(int role) const { return role == Primary ? m_primary : m_fallback; }
    qint64 nowMs() const { return m_clock.nowMs(); }   // durations and deadlines
    qint64 wallMs() const { return m_clock.wallMs(); } // the journal's times
    void moveOverdue();

    class RoleSink : public ISmsOutcomeSink
    {
    public:
        RoleSink(DeliveryRouter *router, int role) : m_router(router), m_role(role) {}
        void smsOutcome(quint64 spoolId, int outcome, const QString &reason) override
        {
            m_router->outcome(m_role, spoolId, outcome, reason);
        }
        void smsReport(quint64 spoolId, const SmsReportNote &note) override
        {
            m_router->report(m_role, spoolId, note);
        }

    private:
        DeliveryRouter *m_router;
        int m_role;
    };

    Settings m_settings;
    Provider m_primary;
    Provider m_fallback;
    RoleSink m_primarySink{this, Primary};
    RoleSink m_fallbackSink{this, Fallback};
    RouterClock m_clock;
    DeliveryStats m_stats;
    SpoolCustody m_custody{this, &m_clock};
    Spool &m_spool = m_custody.spool();
    StationAdmission m_admission{&m_custody, this, &m_stats};
    bool m_started = false;

    QHash<qint64, Route> m_routes;
    // The records waiting for a provider, oldest first.
    std::set<qint64> m_waiting;
    // A record the primary delivered lost its report while the fallback did
    // not run: escalateLost() when it runs.
    bool m_lostWaitFallback = false;
    bool m_wasRunning[2] = {false, false};
    bool m_noneRunningLogged = false;
    qint64 m_noneRunningSince = -1;
    int m_expiredInPass = 0;
    qint64 m_lastLetGoLogMs[2] = {0, 0};
    // Hand-overs to the primary in time order, for the fallback time limit.
    std::deque<std::pair<qint64, qint64>> m_deadlines; // (due ms, record id)
    int m_lastDeliveryRole = NoRole;

    QTimer *m_fallbackTimer;
    QTimer *m_pollTimer;
    int m_pollIntervalMs = 0; // the busy pace (PollMs, or a test's)
    ReportWatch *m_reportWatch;
};
