#include "smsruprotocol.h"

#include "icommonsmsinterface.h"

#include <QCoreApplication>

namespace SmsRuProtocol {

namespace {

using Item = QPair<QString, QString>;

// QUrlQuery leaves '+' and stray '%' as they are, and the gateway's form
// decoder would turn them into a space or a broken escape; encode everything
// that is not unreserved instead.
QUrl withQuery(const QUrl &endpoint, const QList<Item> &items)
{
    QByteArray query;
    for (const Item &item : items) {
        if (!query.isEmpty())
            query += '&';
        query += QUrl::toPercentEncoding(item.first) + '=' + QUrl::toPercentEncoding(item.second);
    }
    QUrl url = endpoint;
    url.setQuery(QString::fromLatin1(query), QUrl::StrictMode);
    return url;
}

} // namespace

QUrl sendUrl(const QUrl &endpoint, const Settings &settings, const QList<SMSMessage> &batch)
{
    QList<Item> items;
    items << Item(QStringLiteral("api_id"), settings.apiKey)
          << Item(QStringLiteral("from"), settings.senderId)
          << Item(QStringLiteral("translit"),
                  settings.translit ? QStringLiteral("1") : QStringLiteral("0"))
          << Item(QStringLiteral("partner_id"), QString::fromLatin1(PartnerId));
    for (const SMSMessage &msg : batch)
        items << Item(
            QStringLiteral("multi[%1]").arg(SmsText::formatPhone(msg, QStringLiteral("7"))),
            SmsText::messageText(msg));
    return withQuery(endpoint, items);
}

QUrl balanceUrl(const QUrl &endpoint, const Settings &settings)
{
    return withQuery(endpoint, {Item(QStringLiteral("api_id"), settings.apiKey)});
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
    }
    result.insert(ResultKey::Success, success);
    result.insert(ResultKey::ErrorCode, status);
    result.insert(ResultKey::ErrorText, errorText(status));
    return result;
}

} // namespace SmsRuProtocol
