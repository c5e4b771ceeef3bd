#include "smsruprotocol.h"

#include "formquery.h"
#include "gatewaystatus.h"
#include "icommonsmsinterface.h"
#include "ismsoutcomeinterface.h"

#include <QCoreApplication>

namespace SmsRuProtocol {

Request balanceRequest(const QUrl &endpoint, const Settings &settings)
{
    FormQuery query;
    query.add(QStringLiteral("api_id"), settings.apiKey);
    Request request;
    request.url = endpoint;
    query.applyTo(&request.url);
    request.contentType = QueryContentType;
    return request;
}

Request statusRequest(const QUrl &endpoint, const Settings &settings, const QString &messageId)
{
    FormQuery query;
    query.add(QStringLiteral("api_id"), settings.apiKey);
    query.add(QStringLiteral("sms_id"), messageId);
    Request request;
    request.url = endpoint;
    query.applyTo(&request.url);
    request.contentType = QueryContentType;
    return request;
}

QString itemName(const SMSMessage &msg)
{
    return QStringLiteral("multi[%1]").arg(SmsText::formatPhone(msg, QStringLiteral("7")));
}

bool itemNameFree(const QList<SMSMessage *> &batch, const SMSMessage &next)
{
    const QString number = SmsText::formatPhone(next, QStringLiteral("7"));
    for (const SMSMessage *msg : batch)
        if (SmsText::formatPhone(*msg, QStringLiteral("7")) == number)
            return false;
    return true;
}

Request sendRequest(const QUrl &endpoint, const Settings &settings, const QList<SMSMessage> &batch)
{
    FormQuery query;
    query.add(QStringLiteral("api_id"), settings.apiKey);
    query.add(QStringLiteral("from"), settings.senderId);
    query.add(QStringLiteral("translit"),
              settings.translit ? QStringLiteral("1") : QStringLiteral("0"));
    query.add(QStringLiteral("partner_id"), QString::fromLatin1(PartnerId));
    for (const SMSMessage &msg : batch)
        query.add(itemName(msg), SmsText::messageText(msg));

    Request request;
    request.url = endpoint;
    query.applyTo(&request.url);
    request.contentType = QueryContentType;
    if (request.url.toEncoded().size() <= MaxUrlLength)
        return request;

    // Too long for a request line: the server's 414 would fail the batch on
    // every retry until the path went down, alarms and all. The gateway
    // reads a form body like a query. The API key leaves the URL with the
    // rest: one complete form leaves no doubt which copy counts, and the key
    // stays out of the access logs that record request lines.
    request.url = endpoint;
    request.contentType = FormContentType;
    request.body = query.encoded();
    return request;
}

QString errorText(int status)
{
    switch (status) {
    case 100:
        return QString();
    case 200:
        return QCoreApplication::translate("PROV_SmsRU", "Неверный ключ API");
    case 201:
        return QCoreApplication::translate("PROV_SmsRU", "Недостаточно средств");
    case 204:
        return QCoreApplication::translate("PROV_SmsRU",
                                           "Имя отправителя не согласовано с администрацией");
    default:
        return QCoreApplication::translate("PROV_SmsRU", "Неверный формат запроса");
    }
}

QVariantMap parseReply(const QByteArray &body, int requestType)
{
    const int zero = body.indexOf('\0');
    const QString text = QString::fromLatin1(zero < 0 ? body : body.left(zero));
    const QStringList lines = text.split(QLatin1Char('\n'), Qt::KeepEmptyParts);

    // A Windows-style line end would otherwise make a valid "100" unreadable.
    bool statusValid = false;
    const int status = lines.isEmpty() ? 1 : lines.first().trimmed().toInt(&statusValid);

    QVariantMap result;
    bool success = statusValid && status == 100;
    if (requestType == 2) {
        bool balanceValid = false;
        const double balance =
            lines.size() > 1 ? lines.at(1).trimmed().toDouble(&balanceValid) : 0.0;
        success = success && balanceValid;
        result.insert(ResultKey::Balance, balance);
    } else if (success) {
        // A line with '=' is no id but the balance that may follow them.
        QStringList ids;
        for (int i = 1; i < lines.size(); ++i) {
            const QString line = lines.at(i).trimmed();
            ids << (line.contains(QLatin1Char('=')) ? QString() : line);
        }
        result.insert(ResultKey::MessageIds, ids);
    }
    result.insert(ResultKey::Success, success);
    result.insert(ResultKey::ErrorCode, status);
    result.insert(ResultKey::ErrorText, errorText(status));
    return result;
}

QVariantMap parseStatusReply(const QByteArray &body)
{
    const int zero = body.indexOf('\0');
    const QString text = QString::fromLatin1(zero < 0 ? body : body.left(zero));
    const QString first = text.section(QLatin1Char('\n'), 0, 0).trimmed();
    bool valid = false;
    const int status = first.toInt(&valid);
    int answer = GatewayStatus::AnswerUnknownStatus;
    if (status >= 100 && status <= 102)
        answer = GatewayStatus::AnswerWaiting;
    else if (status == 103)
        answer = GatewayStatus::AnswerConfirmed;
    else if ((status >= 104 && status <= 108) || status == 150)
        answer = GatewayStatus::AnswerFailed;
    else if (status == -1)
        answer = GatewayStatus::AnswerUnknownId;
    QVariantMap result;
    result.insert(ResultKey::Success, valid);
    result.insert(ResultKey::ErrorCode, valid ? 0 : -1);
    result.insert(ResultKey::ErrorText, valid ? QString() : errorText(-1));
    if (valid) {
        result.insert(ResultKey::Statuses, QVariantList{answer});
        result.insert(ResultKey::StatusTexts, QVariantList{first});
    }
    return result;
}

} // namespace SmsRuProtocol
