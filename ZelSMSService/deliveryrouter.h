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

// Carries every stored request to a delivery path and every outcome back
// into the spool. A record leaves the pending set only by delivery, by a
// refusal that concerns that record, by its own age, or by an operator's
// journal tool: path-wide trouble (failures in a row, a gateway down, a modem
// gone, a provider that did not start) never finishes one.
//
// The paths stand in tiers ("A + B > C"; the primary and the fallback of
// older settings are two tiers of one path each). A record is handed only to
// a path that runs: in the first tier that has one that may have it, to the
// one with the least work (records handed to it and not finished; ties to
// the earlier), so the paths of a tier share a burst. A record also moves on,
// to the other paths of its tier, else the next tier, when its path refuses
// it, goes down (more failed sends in a row than it allows: it then waits
// its pause before it is given anything again) or stops running; and to the
// next tier when it is not delivered a set time after its tier got it, the
// copy still waiting there withdrawn. A path whose send failed while a peer of its tier works
// is given nothing for its pause, and what it holds goes to the peer; with no
// such peer the records of a failed send stay the path's and go back to it
// when its pause ends.
// Records no running path can take wait queued. Once
// delivered by one path, a record is withdrawn from the others, which then do
// not send it again; should two have sent it, the first delivery counts and
// the second is recorded as a duplicate. A record whose delivery report says
// it failed, or does not come in time, goes once to the next path (when one
// runs, if none does then), and never back to the path that delivered it:
// the spool's report state says so after a restart too.
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
    enum : int
    {
        NoPath = -1,
        // A record's paths are kept as bits.
        MaxPaths = 64
    };

    // One delivery path: a provider working on a settings group.
    struct Provider
    {
        Provider(QString id_ = QString(), ICommonSmsInterface *sms_ = nullptr,
                 ISmsOutcomeInterface *tracked_ = nullptr, QString group_ = QString())
            : id(std::move(id_)), sms(sms_), tracked(tracked_), group(std::move(group_))
        {
        }
        QString id;
        ICommonSmsInterface *sms = nullptr;
        ISmsOutcomeInterface *tracked = nullptr; // null: counts as delivered on hand-over
        QString group;                           // its settings group; empty: the usual one
        bool loaded() const { return sms != nullptr; }
    };
    using Tier = QVector<Provider>;
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
    // oldest first. The providers must have been started already. Paths
    // past MaxPaths are not used.
    void start(const Settings &settings, const QVector<Tier> &tiers);
    // The primary, then the fallback, each alone in its tier.
    void start(const Settings &settings, const Provider &primary, const Provider &fallback)
    {
        start(settings, QVector<Tier>{{primary}, {fallback}});
    }
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

    // From the provider of path (its place in the chain, tier by tier).
    void outcome(int path, quint64 spoolId, int outcome, const QString &reason);
    // An attempt of path failed, begun attemptAgeMs ago, the path pausing
    // pauseMs from then; the outcomes of its records follow.
    void pathFailed(int path, const QString &reason, qint64 attemptAgeMs, qint64 pauseMs);
    // A delivery report's news for a record the path delivered.
    void report(int path, quint64 spoolId, const SmsReportNote &note);
    // Records handed to each path and not finished, in chain order.
    QVector<int> pathLoads() const;
    // What the operator sees of a path since the router started.
    struct PathFigures
    {
        int held = 0;         // records handed to it and not finished
        qint64 delivered = 0; // first deliveries
        QString lastError;    // of its last failed or refused send
        bool paused = false;  // within its pause after a failed send or going down
    };
    PathFigures pathFigures(int path) const;
    // Records no path may take now.
    int waitingCount() const { return int(m_waiting.size()); }

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
    void reportTimedOut(qint64 id, int path);
    void retryDue();

private:
    // What the router knows of a pending record. Paths are bits.
    struct Route
    {
        SMSMessage msg{};
        QString phone;
        Spool::Moment since; // the age counts from here
        quint64 at = 0;      // the paths that hold it
        quint64 refused = 0; // paths that refused the record itself
        // Paths it never goes back to: its delivery there lost its report.
        quint64 lost = 0;
        bool delivered = false;
        bool handed = false;       // handed in the spool, as far as the router noted
        qint64 waitingSince = -1;  // boot ms it began to wait for a path; -1: not waiting
        bool warned = false;       // its long wait was logged
        int overdueTier = -1;      // past the time limit there, no later tier ran
        QVector<qint64> heldUntil; // per path that went down while it had it: boot ms
        // Paths whose failed attempt it was on: still theirs, but kept here
        // until their pause ends (Path::retry).
        quint64 retrying = 0;
        bool waiting() const { return at == 0 && !delivered; }
    };
    struct Path
    {
        Provider p;
        int tier = 0;
        QString name; // in log lines: the provider, with the group where that is ambiguous
        std::unique_ptr<ISmsOutcomeSink> sink;
        bool wasRunning = false;
        qint64 lastLetGoLogMs = 0;
        int load = 0; // records whose bit it has
        bool downLogged = false;
        qint64 delivered = 0;
        QString lastError;
        qint64 pausedUntilMs = 0; // boot ms: the end of the pause its last going down began
        int failures = 0;         // failed attempts since its last delivery
        QString downReason;       // why it last went down
        // The records of its failed attempts, in the order they failed, given
        // to it again at retryAtMs (boot ms): behind whatever it still holds.
        std::vector<qint64> retry;
        qint64 retryAtMs = 0;
        // Boot ms: a failed send paused it while its tier had another path;
        // given nothing until then. 0: not paused.
        qint64 failPauseUntilMs = 0;
    };

    // SpoolCustody::Keeper
    void spoolOpened() override { recover(); }
    void spoolChangedElsewhere() override { handPending(Spool::Queued); }
    void lookAtAges() override { expireOld(); }
    bool holdsRecords() const override { return !m_routes.isEmpty() || !m_waiting.empty(); }
    QVector<Spool::Record> heldRecords() const override;
    // StationAdmission::Receiver
    Taker takerOfNew() const override;
    void admitted(qint64 id, const SMSMessage &msg, const Spool::Moment &at, int state,
                  const QString &storedAt) override
    {
        handOver(id, msg, at, state, storedAt);
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
    // The path a new record would go to, or NoPath.
    int pathFor() const;
    // The path a waiting record goes to now, or NoPath; from tier on.
    int pathFor(const Route &route, int fromTier = 0) const;
    bool mayHave(int path, const Route &route, qint64 now) const;
    // With many paths: the path that holds an identical record (same number,
    // same text bytes) and may have this one too, so that a repeated request
    // rides on the copy already there instead of going out twice; NoPath.
    int twinPath(const Route &route, qint64 now) const;
    static quint64 contentKey(const SMSMessage &msg);
    void noteTwin(qint64 id, const Route &route);
    // spoolState: the record's state in the spool; storedAt: the path
    // (settings group) store() named as its holder a moment ago; lost: see
    // Route.
    void handOver(qint64 id, const SMSMessage &stored, const Spool::Moment &since, int spoolState,
                  const QString &storedAt, quint64 lost = 0);
    void setPaths(const QVector<Tier> &tiers);
    // A record read back with a lost report: the paths it does not go back to.
    quint64 lostBefore(const QString &reopenedTo) const;
    static quint64 bit(int path) { return quint64(1) << path; }
    // Forgets a record, and what the paths held of it.
    void dropRoute(qint64 id);
    // To the first path that runs and may have it, else waits queued.
    // storedAt: the path (settings group) the spool names as its holder
    // already.
    void dispatch(qint64 id, Route &route, bool noteHanded = true,
                  const QString &storedAt = QString());
    void park(qint64 id, Route &route);
    void dispatchWaiting();
    void warnLongWaits();
    void give(int path, qint64 id, Route &route, bool noteHanded);
    void setAt(Route &route, int path, bool at);
    // Withdraws what it can of the copies at paths (bits); true: none left there.
    bool withdrawFrom(qint64 id, Route &route, quint64 paths);
    // Past its tier's time limit: to a later tier that runs, the copies
    // still waiting in its tier withdrawn.
    void toNextTier(qint64 id, int tier, const QString &why);
    void delivered(int path, qint64 id);
    void noteDeliveryTier(int path);
    bool movedOnAfterRefusal(int path, qint64 id, Route &route, const QString &reason);
    // In log lines: the primary or fallback of two paths, else the tier and its groups.
    QString tierName(int tier) const;
    // A refusal of the record itself.
    void failed(int path, qint64 id, const QString &reason);
    void letGo(int path, qint64 id, const QString &reason);
    // The record of a failed attempt: to a peer of the tier that may have it,
    // else kept for the path until its pause ends.
    void attemptFailed(int path, qint64 id);
    // More failures in a row than the path allows: what it holds moves on,
    // and it is given nothing for its pause.
    void goDown(int path, const QString &reason);
    int maxFailures(int path) const;
    // Takes the record back from path: kept for a retry, or queued there;
    // false when it is in flight (or the path keeps no records).
    bool takeBackFrom(int path, qint64 id, Route &route);
    // The records path holds, oldest first; undeliveredOnly: not those
    // delivered already.
    QVector<qint64> heldBy(int path, bool undeliveredOnly) const;
    void armRetryTimer();
    // A failed send: while another path of its tier can take records, the
    // path pauses and what it holds goes there.
    void sendFailed(int path, qint64 id, const QString &reason);
    bool peerMayTake(int path, qint64 now) const;
    bool failPaused(int path, qint64 now) const
    {
        return now < m_paths[size_t(path)].failPauseUntilMs;
    }
    void takeBack(int path);
    void noteRunning();
    void noteTiers();
    void armFallbackTimer();
    // At the pace of what it has to look for (see the .cpp).
    void armPoll();
    // A record whose report failed or never came goes once to the next path
    // (of its tier, else the next tier); while none runs, it is kept for
    // when one does. quietWait: that is not logged per record.
    void escalate(qint64 id, int path, const QString &why, bool quietWait = false);
    // Where such a record may go: the paths after path's own, bits.
    quint64 laterPaths(int path) const;
    // Those delivered within the age limit whose report was lost while no
    // later path could take them (before this start, or since).
    void escalateLost();
    // After a restart the waits for reports begin again.
    void watchWaitingReports();
    // Hands a record waiting for its report to the provider that delivered it.
    // The path that delivered a record waiting for its report, NoPath for none.
    int deliveredBy(const Spool::Record &r) const;
    bool awaitReport(const Spool::Record &r, const Provider &p);
    void scheduleFlush() { m_custody.scheduleFlush(); }
    void flush() { m_custody.flush(); }
    bool running(int path) const;
    bool anyRunning() const;
    int pauseMs(int path) const;
    const Provider &provider(int path) const { return m_paths[size_t(path)].p; }
    // The path's name in the journal and the figures: its settings group.
    QString group(int path) const
    {
        const Provider &p = provider(path);
        return p.group.isEmpty() ? p.id : p.group;
    }
    int pathCount() const { return int(m_paths.size()); }
    // The paths of tier, bits.
    quint64 tierPaths(int tier) const;
    quint64 pathsAfterTier(int tier) const;
    // The default chain's two lines, or the lines of many paths.
    bool manyPaths() const { return m_manyPaths; }
    qint64 nowMs() const { return m_clock.nowMs(); }   // durations and deadlines
    qint64 wallMs() const { return m_clock.wallMs(); } // the journal's times
    Spool::Moment moment() const { return m_clock.moment(); }
    void moveOverdue();

    class PathSink : public ISmsOutcomeSink
    {
    public:
        PathSink(DeliveryRouter *router, int path) : m_router(router), m_path(path) {}
        void smsOutcome(quint64 spoolId, int outcome, const QString &reason) override
        {
            m_router->outcome(m_path, spoolId, outcome, reason);
        }
        void smsReport(quint64 spoolId, const SmsReportNote &note) override
        {
            m_router->report(m_path, spoolId, note);
        }
        void pathFailed(const QString &reason, qint64 attemptAgeMs, qint64 pauseMs) override
        {
            m_router->pathFailed(m_path, reason, attemptAgeMs, pauseMs);
        }

    private:
        DeliveryRouter *m_router;
        int m_path;
    };

    Settings m_settings;
    std::vector<Path> m_paths; // tier by tier
    int m_tierCount = 0;
    quint64 m_loaded = 0; // the paths whose provider is loaded
    QVector<qint64> m_tierDownSince;
    QVector<bool> m_tierDownLogged;
    bool m_manyPaths = false;
    RouterClock m_clock;
    DeliveryStats m_stats;
    SpoolCustody m_custody{this, &m_clock};
    Spool &m_spool = m_custody.spool();
    StationAdmission m_admission{&m_custody, this, &m_stats};
    bool m_started = false;

    QHash<qint64, Route> m_routes;
    // The newest record given to a path for each message content; entries of
    // finished records are pruned as the table outgrows the routes.
    QHash<quint64, qint64> m_twins;
    // The records waiting for a provider, oldest first.
    std::set<qint64> m_waiting;
    // A delivered record lost its report while no later path ran:
    // escalateLost() when one runs.
    bool m_lostWaiting = false;
    bool m_noneRunningLogged = false;
    qint64 m_noneRunningSince = -1;
    int m_expiredInPass = 0;
    // Hand-overs to a tier with a later one, in time order, for the time limit.
    struct Deadline
    {
        qint64 dueMs;
        qint64 id;
        int tier;
    };
    std::deque<Deadline> m_deadlines;
    int m_lastDeliveryTier = -1;

    QTimer *m_fallbackTimer;
    QTimer *m_pollTimer;
    QTimer *m_retryTimer;
    int m_pollIntervalMs = 0; // the busy pace (PollMs, or a test's)
    ReportWatch *m_reportWatch;
};
