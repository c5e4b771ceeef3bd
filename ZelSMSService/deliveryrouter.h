#pragma once

#include "ismsoutcomeinterface.h"
#include "smsmessage.h"
#include "spool.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <QVector>
#include <deque>

class ICommonSmsInterface;
class QTimer;
class ReportWatch;
struct StationRequest;

// Carries every stored request to a provider and every outcome back into the
// spool. Each request goes to the primary provider first; when a fallback is
// configured, a record also goes to it when the primary is not running, when
// the primary drops or rejects it, or when it is still not delivered a set
// time after it was handed over. The copy still waiting at the primary is
// withdrawn then; if both send it, the first delivery counts and the second is
// recorded as a duplicate. New requests always start at the primary, so
// delivery returns to it by itself once it works again. A record the primary
// delivered but whose delivery report says it failed, or does not come in
// time, goes once to the fallback as well.
class DeliveryRouter : public QObject
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
    void setSpoolPath(const QString &path) { m_spoolPath = path; }
    Spool &spool() { return m_spool; }

    // Opens the spool, expires what is too old and hands the rest over,
    // oldest first. The providers must have been started already.
    void start(const Settings &settings, const Provider &primary, const Provider &fallback);
    // Writes what is noted and puts records the providers did not finish back
    // to queued; the providers must have been stopped already.
    void stop();

    // Stores a group of station requests and marks the ones to acknowledge.
    void store(QVector<StationRequest> *group);

    void outcome(int role, quint64 spoolId, int outcome, const QString &reason);
    // A delivery report's news for a record the provider delivered.
    void report(int role, quint64 spoolId, const SmsReportNote &note);

private slots:
    void tick();
    void flush();
    void checkFallbackDeadlines();
    void reportTimedOut(qint64 id, int role);

private:
    // What the router knows of a record given to a provider.
    struct Route
    {
        SMSMessage msg{};
        QString phone;
        bool atPrimary = false;
        bool atFallback = false;
        bool delivered = false;
    };

    bool openSpool();
    void recover();
    // Pending records past the age limit become expired, each named in the log.
    void expire(bool includeHanded);
    int handPending(int state);
    int roleFor() const;
    void handOver(qint64 id, const SMSMessage &stored, bool noteHanded);
    void give(int role, qint64 id, Route &route, bool noteHanded);
    void toFallback(qint64 id, const QString &why);
    void delivered(int role, qint64 id);
    void failed(int role, qint64 id, int outcome, const QString &reason);
    void armFallbackTimer();
    // A record whose report failed or never came goes once to the fallback.
    void escalate(qint64 id, int role, const QString &why);
    // After a restart the waits for reports begin again.
    void watchWaitingReports();
    void scheduleFlush();
    void critical(qint64 *lastMs, const QString &text);
    bool running(int role) const;
    const Provider &provider(int role) const { return role == Primary ? m_primary : m_fallback; }
    static qint64 nowMs();

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
    Spool m_spool;
    QString m_spoolPath;
    bool m_started = false;

    QHash<qint64, Route> m_routes;
    // Hand-overs to the primary in time order, for the fallback time limit.
    std::deque<std::pair<qint64, qint64>> m_deadlines; // (due ms, record id)
    int m_lastDeliveryRole = NoRole;

    QTimer *m_tick;
    QTimer *m_flushTimer;
    QTimer *m_fallbackTimer;
    ReportWatch *m_reportWatch;
    qint64 m_lastStoreCriticalMs = 0;
    qint64 m_lastLimitCriticalMs = 0;
    qint64 m_lastOpenCriticalMs = 0;
    qint64 m_lastPurgeMs = 0;
};
