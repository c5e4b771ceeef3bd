#include "jsonsmsgateway.h"

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

void JsonSmsGateway::SentBatch::clear()
{
    clientIds.clear();
    phones.clear();
}

void JsonSmsGateway::SentBatch::add(const QString &clientId, const QString &phone)
{
    clientIds.append(clientId);
    phones.append(phone);
}

QString JsonSmsGateway::SentBatch::phoneFor(const Rejection &rejection) const
{
    int at = clientIds.indexOf(rejection.clientId);
    if (at < 0 || rejection.clientId.isEmpty())
        at = rejection.index;
    return at >= 0 && at < phones.size() ? phones.at(at) : QString("?");
}
