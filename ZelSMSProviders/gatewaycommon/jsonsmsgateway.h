#pragma once

#include "gatewaystatus.h"
#include "smsmessage.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantMap>

// The JSON dialect shared by iqSms and Prostor-SMS (one platform under two
// brands): a document with "login", "password" and, for a send, "messages";
// replies with a top-level "status" and per-message statuses. The send reply
// reads the same on both; balance replies and options stay in each gateway class.
class JsonSmsGateway
{
public:
    // One outgoing message; the gateway decides which optional members it sends.
    static QJsonObject messageObject(const QString &sender, const QString &text,
                                     const QString &phone, const QString &clientId);

    // Indented JSON, members in key order (QJsonObject keeps them sorted).
    static QByteArray requestBody(const QString &login, const QString &password);
    static QByteArray requestBody(const QString &login, const QString &password,
                                  const QJsonArray &messages);

    struct Rejection
    {
        int index = 0;    // position in the reply's "messages"
        QString clientId; // as echoed by the gateway, may be empty
        QString status;
    };

    // Numbers of the request in flight, to name refused messages in the log:
    // matched by the echoed clientId, else by position.
    struct SentBatch
    {
        QStringList clientIds;
        QStringList phones;

        void add(const QString &clientId, const QString &phone);
        QString phoneFor(const Rejection &rejection) const;
        int positionOf(const Rejection &rejection) const; // in the batch, -1 if unknown
    };

    // The "messages" array of a send: one object per SMS in batch order, each
    // with extra's members added, numbered by *counter (which moves on).
    static QJsonArray messages(const QList<SMSMessage> &batch, const QString &sender,
                               const QJsonObject &extra, quint32 *counter);
    // The numbers of a send as it went out: the clientIds from the request
    // body, the phones from the batch it was built from.
    static SentBatch sentBatch(const QByteArray &requestBody, const QList<SMSMessage> &batch);

    struct SendReply
    {
        bool statusOk = false; // top-level "status" is "ok"
        bool accepted = false; // at least one message "accepted"
        // The first non-empty status met before the first accepted message.
        QString errorText;
        // Every message not accepted, also those after the first accepted one:
        // the batch counts as sent, so these are reported one by one.
        QList<Rejection> rejected;
    };
    static SendReply readSendReply(const QByteArray &body);

    // The result map of a send reply: success when one message was accepted
    // (code 0), -2 with the first status when none was, -1 with formatError
    // when the reply has no "status" "ok".
    static QVariantMap sendResult(const QByteArray &body, const QString &formatError);

    // One log text per message refused in a batch that counted as sent (the
    // request machine forgets such a batch whole, so these would vanish).
    static QStringList rejectionReport(const QByteArray &body, const SentBatch &sent);

    // Adds the positions and statuses of those refused messages to a send's
    // result map (ResultKey::Refused), so each is recorded as the gateway answered.
    static void markRefusals(QVariantMap *result, const QByteArray &body, const SentBatch &sent);

    // Adds the gateway's id ("smscId") of each accepted message of a send
    // reply by batch position to its result map (ResultKey::MessageIds).
    static void markMessageIds(QVariantMap *result, const QByteArray &body, const SentBatch &sent);

    // The "messages" of a status request: each message's "smscId", and the
    // host's record id as its "clientId".
    static QJsonArray statusMessages(const QList<GatewayStatus::Query> &queries);
    // The result map of a status reply: each query's answer found by its
    // "smscId", else its "clientId", else by position. A reply without a
    // top-level "status" "ok" fails (its "description" as the error).
    static QVariantMap statusResult(const QList<GatewayStatus::Query> &queries,
                                    const QByteArray &body);

    struct BalanceReply
    {
        bool found = false; // a numeric balance was present
        double balance = 0.0;
        QString status;      // top-level "status"
        QString description; // top-level "description"
    };
    static BalanceReply readBalanceReply(const QByteArray &body);
};
