#include "jsonsmsgateway.h"

#include "ismsoutcomeinterface.h"

#include "icommonsmsinterface.h"

#include <QJsonDocument>
#include <QJsonValue>

QJsonObject JsonSmsGateway::messageObject(const QString &sender, const QString &text,
                                          const QString &phone, const QString &clientId)
{
    QJsonObject msg;
    msg.insert("sender", sender);
    msg.insert("text", text);
    msg.insert("phone", phone);
    msg.insert("clientId", clientId);
    return msg;
}

static QJsonObject credentials(const QString &login, const QString &password)
{
    QJsonObject obj;
    obj.insert("login", login);
    obj.insert("password", password);
    return obj;
}

QByteArray JsonSmsGateway::requestBody(const QString &login, const QString &password)
{
    return QJsonDocument(credentials(login, password)).toJson(QJsonDocument::Indented);
}

QByteArray JsonSmsGateway::requestBody(const QString &login, const QString &password,
                                       const QJsonArray &messages)
{
    QJsonObject obj = credentials(login, password);
    obj.insert("messages", messages);
    return QJsonDocument(obj).toJson(QJsonDocument::Indented);
}

JsonSmsGateway::SendReply JsonSmsGateway::readSendReply(const QByteArray &body)
{
    SendReply out;
    const QJsonObject top = QJsonDocument::fromJson(body).object();
    out.statusOk = top.value("status").toString() == QLatin1String("ok");
    if (!out.statusOk)
        return out;
    const QJsonArray messages = top.value("messages").toArray();
    for (int i = 0; i < messages.size(); ++i) {
        const QJsonObject msg = messages.at(i).toObject();
        const QString status = msg.value("status").toString();
        if (status == QLatin1String("accepted")) {
            out.accepted = true;
            continue;
        }
        if (!out.accepted && out.errorText.isEmpty())
            out.errorText = status;
        out.rejected.append({i, msg.value("clientId").toVariant().toString(), status});
    }
    if (out.accepted)
        out.errorText.clear();
    return out;
}

JsonSmsGateway::BalanceReply JsonSmsGateway::readBalanceReply(const QByteArray &body)
{
    BalanceReply out;
    const QJsonObject top = QJsonDocument::fromJson(body).object();
    const QJsonValue balance = top.value("balance");
    if (balance.isArray()) {
        const QJsonArray list = balance.toArray();
        const QJsonValue inner =
            list.isEmpty() ? QJsonValue() : list.first().toObject().value("balance");
        if (inner.isDouble()) {
            out.found = true;
            out.balance = inner.toDouble();
        }
    } else if (balance.isDouble()) {
        out.found = true;
        out.balance = balance.toDouble();
    }
    out.status = top.value("status").toString();
    out.description = top.value("description").toString();
    return out;
}

void JsonSmsGateway::SentBatch::add(const QString &clientId, const QString &phone)
{
    clientIds.append(clientId);
    phones.append(phone);
}

int JsonSmsGateway::SentBatch::positionOf(const Rejection &rejection) const
{
    int at = clientIds.indexOf(rejection.clientId);
    if (at < 0 || rejection.clientId.isEmpty())
        at = rejection.index;
    return at >= 0 && at < phones.size() ? at : -1;
}

QString JsonSmsGateway::SentBatch::phoneFor(const Rejection &rejection) const
{
    const int at = positionOf(rejection);
    return at >= 0 ? phones.at(at) : QString("?");
}

QJsonArray JsonSmsGateway::messages(const QList<SMSMessage> &batch, const QString &sender,
                                    const QJsonObject &extra, quint32 *counter)
{
    QJsonArray out;
    for (const SMSMessage &msg : batch) {
        const QString clientId = QString::number((*counter)++);
        QJsonObject item = messageObject(sender, SmsText::messageText(msg),
                                         SmsText::formatPhone(msg, "7"), clientId);
        for (auto it = extra.begin(); it != extra.end(); ++it)
            item.insert(it.key(), it.value());
        out.append(item);
    }
    return out;
}

JsonSmsGateway::SentBatch JsonSmsGateway::sentBatch(const QByteArray &requestBody,
                                                    const QList<SMSMessage> &batch)
{
    const QJsonArray messages =
        QJsonDocument::fromJson(requestBody).object().value("messages").toArray();
    SentBatch sent;
    for (int i = 0; i < batch.size(); ++i)
        sent.add(messages.at(i).toObject().value("clientId").toString(),
                 SmsText::formatPhone(batch.at(i), "8"));
    return sent;
}

QVariantMap JsonSmsGateway::sendResult(const QByteArray &body, const QString &formatError)
{
    const SendReply reply = readSendReply(body);
    QVariantMap result;
    result.insert(ResultKey::Success, reply.statusOk && reply.accepted);
    result.insert(ResultKey::ErrorCode, !reply.statusOk ? -1 : reply.accepted ? 0 : -2);
    result.insert(ResultKey::ErrorText, reply.statusOk ? reply.errorText : formatError);
    return result;
}

void JsonSmsGateway::markRefusals(QVariantMap *result, const QByteArray &body,
                                  const SentBatch &sent)
{
    const SendReply reply = readSendReply(body);
    if (!reply.accepted)
        return;
    QVariantList positions, reasons;
    for (const Rejection &rejection : reply.rejected) {
        const int at = sent.positionOf(rejection);
        if (at >= 0 && !positions.contains(at)) {
            positions.append(at);
            reasons.append(rejection.status);
        }
    }
    result->insert(ResultKey::Refused, positions);
    result->insert(ResultKey::RefusedReasons, reasons);
}

QStringList JsonSmsGateway::rejectionReport(const QByteArray &body, const SentBatch &sent)
{
    const SendReply reply = readSendReply(body);
    QStringList lines;
    if (!reply.accepted)
        return lines;
    for (const Rejection &rejection : reply.rejected)
        lines << QString("SMS на номер %1 не принято шлюзом, статус \"%2\"")
                     .arg(sent.phoneFor(rejection), rejection.status);
    return lines;
}

void JsonSmsGateway::markMessageIds(QVariantMap *result, const QByteArray &body,
                                    const SentBatch &sent)
{
    const QJsonObject top = QJsonDocument::fromJson(body).object();
    if (top.value("status").toString() != QLatin1String("ok"))
        return;
    const QJsonArray messages = top.value("messages").toArray();
    QStringList ids;
    for (int i = 0; i < sent.phones.size(); ++i)
        ids << QString();
    for (int i = 0; i < messages.size(); ++i) {
        const QJsonObject msg = messages.at(i).toObject();
        if (msg.value("status").toString() != QLatin1String("accepted"))
            continue;
        const int at = sent.positionOf({i, msg.value("clientId").toVariant().toString(), {}});
        const QString id = msg.value("smscId").toVariant().toString().trimmed();
        if (at >= 0 && ids.at(at).isEmpty())
            ids[at] = id;
    }
    result->insert(ResultKey::MessageIds, ids);
}

QJsonArray JsonSmsGateway::statusMessages(const QList<GatewayStatus::Query> &queries)
{
    QJsonArray out;
    for (const GatewayStatus::Query &q : queries)
        out.append(QJsonObject{{"smscId", q.messageId}, {"clientId", QString::number(q.spoolId)}});
    return out;
}

namespace {

int jsonStatusAnswer(const QString &status)
{
    if (status == QLatin1String("queued") || status == QLatin1String("smsc submit"))
        return GatewayStatus::AnswerWaiting;
    if (status == QLatin1String("delivered"))
        return GatewayStatus::AnswerConfirmed;
    if (status == QLatin1String("delivery error") || status == QLatin1String("smsc reject"))
        return GatewayStatus::AnswerFailed;
    if (status == QLatin1String("incorrect id"))
        return GatewayStatus::AnswerUnknownId;
    return GatewayStatus::AnswerUnknownStatus;
}

} // namespace

QVariantMap JsonSmsGateway::statusResult(const QList<GatewayStatus::Query> &queries,
                                         const QByteArray &body)
{
    const QJsonObject top = QJsonDocument::fromJson(body).object();
    QVariantMap result;
    if (top.value("status").toString() != QLatin1String("ok")) {
        result.insert(ResultKey::Success, false);
        result.insert(ResultKey::ErrorCode, -1);
        result.insert(ResultKey::ErrorText, top.value("description").toString());
        return result;
    }
    const QJsonArray messages = top.value("messages").toArray();
    QVariantList answers, texts;
    for (int i = 0; i < queries.size(); ++i) {
        const GatewayStatus::Query &q = queries.at(i);
        const QString clientId = QString::number(q.spoolId);
        int at = -1;
        for (int k = 0; k < messages.size() && at < 0; ++k) {
            const QJsonObject msg = messages.at(k).toObject();
            if (msg.value("smscId").toVariant().toString() == q.messageId ||
                msg.value("clientId").toVariant().toString() == clientId)
                at = k;
        }
        // An answer that names neither stands in its place.
        if (at < 0 && i < messages.size() && !messages.at(i).toObject().contains("smscId") &&
            !messages.at(i).toObject().contains("clientId"))
            at = i;
        const QString status =
            at < 0 ? QString() : messages.at(at).toObject().value("status").toString();
        answers << (at < 0 ? int(GatewayStatus::AnswerMissing) : jsonStatusAnswer(status));
        texts << status;
    }
    return GatewayStatus::replyResult(answers, texts);
}
