#include "replyresult.h"

#include "basicsmsrestprovider.h"

#include <QNetworkReply>
#include <QUrl>

#include <cmath>

QVariantMap ReplyResult::checkedFigures(int requestType, const QVariantMap &result)
{
    if (!result.value(ResultKey::Success).toBool())
        return result;
    // Gateways' numbers are read with toDouble, which takes "nan" and "inf":
    // a NaN balance never compares low again, and a negative cost raises it.
    QString bad;
    if (requestType == BasicSmsRestProvider::RequestBalance) {
        const double balance = result.value(ResultKey::Balance).toDouble();
        if (!std::isfinite(balance))
            bad = QStringLiteral("баланс %1").arg(balance);
    } else if (requestType == BasicSmsRestProvider::RequestSms &&
               result.contains(ResultKey::Spent)) {
        const double spent = result.value(ResultKey::Spent).toDouble();
        if (!std::isfinite(spent) || spent < 0.0 || spent >= MaxCost)
            bad = QStringLiteral("стоимость %1").arg(spent);
    }
    if (bad.isEmpty())
        return result;
    QVariantMap refused = result;
    refused.insert(ResultKey::Success, false);
    refused.insert(ResultKey::ErrorCode, MalformedReplyCode);
    refused.insert(ResultKey::ErrorText,
                   QStringLiteral("Неверный формат ответа шлюза: %1").arg(bad));
    return refused;
}

QVariantMap ReplyResult::networkError(const QNetworkReply *reply)
{
    QVariantMap result;
    result.insert(ResultKey::Success, false);
    result.insert(ResultKey::ErrorCode, int(reply->error()));
    result.insert(ResultKey::ErrorText, redactedErrorString(reply));
    return result;
}

// Qt's error text quotes the whole URL, and gateways carry API keys, passwords
// and the alarm texts in the query or the user info; the log gets the URL
// without them.
QString ReplyResult::redactedErrorString(const QNetworkReply *reply)
{
    QString text = reply->errorString();
    const QUrl url = reply->url();
    const QString safe = url.toString(QUrl::RemoveQuery | QUrl::RemoveUserInfo);
    for (const QString &form :
         {url.toString(), url.toString(QUrl::FullyEncoded), url.toDisplayString()})
        if (!form.isEmpty())
            text.replace(form, safe);
    if (!url.query().isEmpty() && text.contains(url.query(QUrl::FullyEncoded)))
        text.replace(url.query(QUrl::FullyEncoded), QStringLiteral("..."));
    return text;
}
