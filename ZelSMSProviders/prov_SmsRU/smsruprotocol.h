#pragma once

#include "smsmessage.h"

#include <QList>
#include <QString>
#include <QUrl>
#include <QVariantMap>

// SmsRU's wire format, apart from any I/O: the query of a send or balance
// request and the reading of the plain-text reply (a status number on the first
// line, the balance on the second) into a result map.
namespace SmsRuProtocol {

// Real public host of the gateway; "baseUrl" in the settings may replace it.
inline const char *const DefaultHost = "https://sms.ru";
inline const char *const SendPath = "/sms/send";
inline const char *const BalancePath = "/my/balance";
inline const char *const PartnerId = "493517";
constexpr int MaxBatch = 100;

struct Settings
{
    QString apiKey;
    QString senderId;
    bool translit = false;
};

// The endpoint with the send query: api_id, from, translit, partner_id, then
// one multi[7XXXXXXXXXX] item per SMS in batch order. Every name and value is
// fully percent-encoded, so '+', '&', '%' and '#' in a text arrive unchanged.
QUrl sendUrl(const QUrl &endpoint, const Settings &settings, const QList<SMSMessage> &batch);
QUrl balanceUrl(const QUrl &endpoint, const Settings &settings);

// Reply to a send (requestType 1) or balance (2) request, as a result map.
QVariantMap parseReply(const QByteArray &body, int requestType);

// The error text for a status number.
QString errorText(int status);

} // namespace SmsRuProtocol
