#pragma once

#include "icommonsmsinterface.h"
#include "iproviderfactory.h"
#include "ismsoutcomeinterface.h"
#include "queuelimit.h"
#include "replyresult.h"
#include "smsbatchqueue.h"
#include "statuspollschedule.h"

#include <QAuthenticator>
#include <QDateTime>
#include <QElapsedTimer>
#include <QList>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QObject>
#include <QSslError>
#include <QTimer>
#include <QUrl>
#include <QVariantMap>

#include <functional>
#include <memory>

class QSettings;

// The request machine shared by every HTTP gateway plug-in: a queue of SMS,
// batches of them sent one HTTP request at a time, reply and balance
// time-outs, a pause of its own requests after a failed send (the records of
// which go back to the host), periodic balance
// requests, and the logging of outcomes. SMS handed to an idle machine go out
// at once (what arrived together in one request); the 500 ms tick times only
// what waits for time: a reply, a pause, a request the gateway held back, the
// next balance request. With none of these the machine sleeps. A gateway adds
// only its settings, how one request is built (buildRestRequest) and how one
// reply is read into a result map (parseRestReply); the machine alone knows
// which request is in flight and hands the gateway what was sent with its reply.
// With delivery reports wanted (Common/deliveryReports), a gateway that can
// tell a message's fate (statusBatchLimit) gets status requests for the
// messages it took, when no send or balance request is due.
// Each object reads its settings from its own group (settingsGroup()); the
// plug-in's root object, on the gateway's usual group, makes more of its kind
// for other groups (create()).
class BasicSmsRestProvider : public QObject,
                             public ICommonSmsInterface,
                             public ISmsOutcomeInterface,
                             public IProviderFactory
{
    Q_OBJECT
    Q_INTERFACES(ICommonSmsInterface ISmsOutcomeInterface IProviderFactory)

public:
    enum RequestType
    {
        RequestNone = 0,
        RequestSms = 1,
        RequestBalance = 2,
        RequestStatus = 3
    };
    enum ProviderState
    {
        StateIdle = 0,
        StateRequest = 1,
        StateWaitReply = 2,
        StateStopped = 3
    };

    explicit BasicSmsRestProvider(QObject *parent = nullptr);
    ~BasicSmsRestProvider() override;

    virtual int buildRestRequest(int requestType, QList<SMSMessage> batch, QNetworkRequest *request,
                                 QByteArray *body, QString *method) = 0;

    // The request in flight as it went out, so that a gateway can read a reply
    // by what it asked: a refusal names its message by position or by an id
    // the gateway put in the body.
    struct SentRequest
    {
        int type = RequestNone;  // RequestType
        QList<SMSMessage> batch; // in batch order; empty for a balance request
        QByteArray body;
    };

    // The result map of one reply body (see commitRestReply). The base counts
    // every reply as not understood: a gateway reads its replies here, or takes
    // the whole reply in its own handleRestReply.
    virtual QVariantMap parseRestReply(const SentRequest &sent, const QByteArray &reply);

    // Asked while a batch is filled from the front of the queue, for each SMS
    // after the first: may `next` go in the same request as those already in
    // `batch`? On false filling stops there, and `next` leads the following
    // batch, so queue order holds and nothing is skipped. For gateways whose
    // batch items are keyed by something two SMS can share (SmsRU names its
    // items by number and keeps only the last of a name). The first SMS of a
    // batch always goes, so no rule can hold the queue up. The base lets every
    // SMS join.
    virtual bool canJoinBatch(const QList<SMSMessage *> &batch, const SMSMessage &next) const;

    // Status requests. The most messages one status request may ask about;
    // 0 (the base): the gateway has none, and its records' reports stay none.
    virtual int statusBatchLimit() const { return 0; }
    // Builds the status request for these messages; non-zero when it cannot.
    virtual int buildStatusRequest(const QList<GatewayStatus::Query> &queries,
                                   QNetworkRequest *request, QByteArray *body, QString *method);
    // The result map of a status reply: success, error code and text, and by
    // each query's position its answer (ResultKey::Statuses) and the gateway's
    // status text (ResultKey::StatusTexts).
    virtual QVariantMap parseStatusReply(const QList<GatewayStatus::Query> &queries,
                                         const QByteArray &reply);

    // A new gateway of this kind (newProvider()) on settingsGroup; null when
    // the gateway makes none.
    QObject *create(const QString &settingsGroup) override;
    // The group of SMSProviders readSettings() reads: the gateway's usual one
    // unless the provider was made for another.
    const QString &settingsGroup() const { return m_settingsGroup; }
    void setSettingsGroup(const QString &group) { m_settingsGroup = group; }

    int enqueueSms(const SMSMessage &msg) override;
    void setOutcomeSink(ISmsOutcomeSink *sink) override
    {
        m_sink = sink;
        m_messages.setSink(sink);
    }
    int enqueueTracked(quint64 spoolId, const SMSMessage &msg) override;
    bool withdraw(quint64 spoolId) override;
    bool isRunning() const override { return m_providerState != StateStopped; }
    int recordsInFlight() const override { return int(m_messages.batch().size()); }
    void awaitReports(quint64 spoolId, const QVector<int> &references,
                      const QVector<bool> &confirmed, const QString &recipient) override;
    void awaitStatus(quint64 spoolId, const QString &messageId, const QString &recipient) override;
    double balance(int *known) override;
    int providerStatus() override;
    void start() override;
    void stop() override;

    // Applies one result map: logs it, re-queues or drops the batch, updates
    // pause, failures, status and balance, and returns the machine to idle.
    void commitRestReply(QVariantMap result);

    // What commitRestReply applies of a parsed result map (the reply parsers'
    // fuzz targets check their properties on it).
    static QVariantMap checkedFigures(int requestType, const QVariantMap &result)
    {
        return ReplyResult::checkedFigures(requestType, result);
    }

    static QString formatPhone(const SMSMessage &msg, const QString &prefix);
    static QString messageText(const SMSMessage &msg);

    // Every gateway may be pointed elsewhere (a test emulator, a proxy) by the
    // optional key "baseUrl" in its settings group: it replaces scheme, host and
    // port of all the gateway's endpoints, paths stay. readBaseUrl() is called
    // from a gateway's readSettings with its group entered.
    void readBaseUrl(QSettings &settings);
    QUrl endpoint(const QString &defaultUrl) const;

    // Warns when the settings file holding credentials can be read by others.
    static void warnIfSettingsReadable(const QSettings &settings);

    // Most SMS waiting (queued and in flight) given through enqueueSms, that
    // is without a host's spool to bound them; tests lower it.
    void setQueueLimit(int limit) { m_queueLimit.setLimit(limit); }

    // Test and tool access to the machine's state.
    int queueSize() const { return int(m_messages.queue().size()); }
    int batchSize() const { return int(m_messages.batch().size()); }
    // Failed send attempts since the last that succeeded: a figure; what
    // follows from them is the host's.
    int failures() const { return m_failures; }
    bool paused() const { return m_pause != 0; }
    int state() const { return m_providerState; }
    // The request in flight or being built (RequestType).
    int requestType() const { return m_requestType; }
    // Records whose report is awaited through status requests.
    int statusWatched() const { return m_statusPoll.size(); }

public slots:
    void stateMachine();
    void requestFinished();
    // Reads the body of a reply that is no network error, has the gateway
    // parse it (parseRestReply) and applies the result.
    virtual void handleRestReply(QNetworkReply *reply);
    virtual bool customProviderPreRequestHandler();
    virtual void authenticationRequired(QNetworkReply *reply, QAuthenticator *authenticator);
    virtual void proxyAuthenticationRequired(const QNetworkProxy &proxy,
                                             QAuthenticator *authenticator);
    virtual void sslErrors(QNetworkReply *reply, const QList<QSslError> &errors);

protected:
    // A new object of the gateway's own class on its usual group, for
    // create(); the base makes none.
    virtual BasicSmsRestProvider *newProvider() const { return nullptr; }
    void reset();
    // Tests shorten the 500 ms tick.
    void setTickInterval(int ms);
    // Tests and tools drive time themselves (milliseconds on any clock that
    // does not step); an empty function restores the monotonic clock.
    void setClock(std::function<qint64()> msClock);
    qint64 nowMs() const;
    // Tests and tools: whether reports are wanted (else read at start), and
    // the status requests' timing.
    void setReportsWanted(bool wanted);
    void setStatusTiming(const StatusPollSchedule::Timing &timing)
    {
        m_statusPoll.setTiming(timing);
    }
    // The gateway's own logging category, "zelsms.provider." and its class name
    // without "PROV_" in lower case (zelsms.provider.smsru), so that one
    // gateway's DEBUG can be turned on alone.
    const QLoggingCategory &lcGateway() const;
    // " [group]" for a gateway made for another settings group than its
    // usual one (create()), appended to every line it logs; else empty.
    const QString &logOrigin() const { return m_logOrigin; }

private:
    // Implementation members are the request machine's own; see the .cpp.
    QNetworkAccessManager m_network;
    SmsBatchQueue m_messages;
    int m_requestType = RequestNone;
    qint64 m_lastSmsRequest = 0;
    int m_pause = 0;
    int m_testRetryPauseS = 0; // a test's retry pause; 0: the gateway's own
    int m_failures = 0;
    int m_balanceKnown = 0;
    double m_balance = 0.0;
    qint64 m_lastBalanceRequest = 0;
    quint8 m_status = StatusOk;
    int m_providerState = StateStopped;
    QTimer *m_timer = nullptr;
    // Zero-delay: SMS handed over in one go (one station read, one spool
    // transaction) are all queued before the send starts, so they share it.
    QTimer *m_kick = nullptr;
    QNetworkReply *m_reply = nullptr;
    QByteArray m_body;
    QNetworkRequest m_request;
    QUrl m_baseUrl;
    QString m_settingsGroup;
    QString m_logOrigin;
    // Made at the first line logged: only then is the gateway's class known.
    mutable QByteArray m_logCategoryName;
    mutable std::unique_ptr<QLoggingCategory> m_logCategory;
    int m_tickInterval = 500;
    std::function<qint64()> m_clock;
    QElapsedTimer m_monotonic;
    QueueLimit m_queueLimit{"[BasicSmsRestProvider::enqueueSms()]"};
    ISmsOutcomeSink *m_sink = nullptr;
    bool m_reportsWanted = false;
    int m_reportsSetByTest = -1; // -1: read at start
    qint64 m_testStatusFirstMs = 0;
    qint64 m_lastStatusRequest = 0;
    StatusPollSchedule m_statusPoll{[this] { return nowMs(); }};
    QList<GatewayStatus::Query> m_statusBatch; // the status request in flight

    void forgetReply(bool abortIt);
    void sendRequest();
    void waitReply();
    void idleTick();
    void sendWaiting();
    void kickIfIdle();
    void armTick();
    qint64 msUntilBalanceDue();
    qint64 secondsSince(qint64 ms) const;
    int intParameter(int id);
    void readReportSettings();
    bool watchesStatus() { return m_reportsWanted && statusBatchLimit() > 0; }
    void watchDelivered(const QList<SMSMessage> &batch, const QVector<QVector<quint64>> &delivered,
                        const QVariantMap &result);
    void commitStatusReply(const QVariantMap &result);
    void statusAnswered(const GatewayStatus::Query &query, int answer, const QString &status);
    void report(quint64 spoolId, int state, const QString &reason);
};
