#pragma once

#include "basicsmsrestprovider.h"
#include "gatewayemulator.h"

#include <QUrlQuery>

// A minimal gateway for driving the request machine against the emulator.
// Send: GET /send?to=<number>&msg=<text>&to=...; reply "OK", "OK <spent>" or
// "ERR <code> <text>"; "OK refused=1,3" accepts the batch but the SMS at
// those positions. Balance: GET /balance; reply "BAL <value>" or "ERR ...".
// Its parameters are a plain struct so each test picks its own limits, and it
// runs on a clock the test moves by hand.
class TestGateway : public BasicSmsRestProvider
{
    Q_OBJECT

public:
    struct Params
    {
        int maxFailures = 5;
        int retryPause = 60;
        bool batchSend = true;
        int batchSize = 200;
        bool balanceCheck = true;
        int balanceInterval = 120;
        int replyTimeout = 60;
    };

    explicit TestGateway(const QUrl &base) : m_base(base)
    {
        m_now = QDateTime(QDate(2026, 1, 1), QTime(12, 0));
        setClock([this] { return m_now.toMSecsSinceEpoch(); });
        // Ticks come from the test unless it asks for the timer.
        setTickInterval(3600 * 1000);
    }

    // How the gateway answers canJoinBatch: the base's answer, no two SMS
    // to one number in a batch, or no second SMS at all.
    enum JoinRule
    {
        JoinBase,
        JoinDistinctNumbers,
        JoinNone
    };

    Params params;
    JoinRule joinRule = JoinBase;
    bool settingsOk = true;
    bool holdRequests = false;
    int buildFailures = 0; // the next n builds fail

    QDateTime m_now;
    void advance(int seconds) { m_now = m_now.addSecs(seconds); }
    void useTimer(int ms) { setTickInterval(ms); }
    void wallClock() { setClock({}); }

    QVariant parameter(int id) override
    {
        switch (id) {
        case ParamProviderId:
            return QStringLiteral("ZEL_SMS_PROVIDER_TEST");
        case ParamMaxFailures:
            return params.maxFailures;
        case ParamRetryPause:
            return params.retryPause;
        case ParamBatchSend:
            return params.batchSend;
        case ParamBatchSize:
            return params.batchSize;
        case ParamBalanceCheck:
            return params.balanceCheck;
        case ParamBalanceInterval:
            return params.balanceInterval;
        case ParamTextCodec:
            return QStringLiteral("UTF-8");
        case ParamAuxInterval:
            return 30;
        case ParamReplyTimeout:
            return params.replyTimeout;
        default:
            return QVariant();
        }
    }

    bool readSettings() override { return settingsOk; }

    bool customProviderPreRequestHandler() override { return !holdRequests; }

    bool canJoinBatch(const QList<SMSMessage *> &batch, const SMSMessage &next) const override
    {
        switch (joinRule) {
        case JoinDistinctNumbers:
            for (const SMSMessage *msg : batch)
                if (formatPhone(*msg, QStringLiteral("7")) ==
                    formatPhone(next, QStringLiteral("7")))
                    return false;
            return true;
        case JoinNone:
            return false;
        default:
            return BasicSmsRestProvider::canJoinBatch(batch, next);
        }
    }

    int buildRestRequest(int requestType, QList<SMSMessage> batch, QNetworkRequest *request,
                         QByteArray *, QString *method) override
    {
        if (buildFailures > 0) {
            --buildFailures;
            return 1;
        }
        QUrl url = m_base;
        QUrlQuery query;
        query.addQueryItem(QStringLiteral("key"), QStringLiteral("SECRET-KEY"));
        if (requestType == RequestSms) {
            url.setPath(QStringLiteral("/send"));
            for (const SMSMessage &msg : batch) {
                query.addQueryItem(QStringLiteral("to"), formatPhone(msg, QStringLiteral("7")));
                query.addQueryItem(QStringLiteral("msg"), messageText(msg));
            }
        } else {
            url.setPath(QStringLiteral("/balance"));
        }
        url.setQuery(query);
        request->setUrl(url);
        *method = QStringLiteral("GET");
        return 0;
    }

public slots:
    void handleRestReply(QNetworkReply *reply) override
    {
        const QList<QByteArray> words = reply->readAll().trimmed().split(' ');
        QVariantMap result;
        if (words.value(0) == "OK") {
            result.insert(ResultKey::Success, true);
            result.insert(ResultKey::ErrorCode, 0);
            if (words.size() > 1 && words.at(1).startsWith("refused=")) {
                QVariantList at, why;
                for (const QByteArray &i : words.at(1).mid(8).split(',')) {
                    at << i.toInt();
                    why << QStringLiteral("bad number");
                }
                result.insert(ResultKey::Refused, at);
                result.insert(ResultKey::RefusedReasons, why);
            } else if (words.size() > 1) {
                result.insert(ResultKey::Spent, words.at(1).toDouble());
            }
        } else if (words.value(0) == "BAL") {
            result.insert(ResultKey::Success, true);
            result.insert(ResultKey::ErrorCode, 0);
            result.insert(ResultKey::Balance, words.value(1).toDouble());
        } else {
            result.insert(ResultKey::Success, false);
            result.insert(ResultKey::ErrorCode, words.value(1).toInt());
            result.insert(ResultKey::ErrorText, QString::fromUtf8(words.mid(2).join(' ')));
        }
        commitRestReply(result);
    }

private:
    QUrl m_base;
};
