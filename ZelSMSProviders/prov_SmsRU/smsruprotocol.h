#pragma once

#include "smsmessage.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>
#include <QVariantMap>

// SmsRU's wire format, apart from any I/O: the send and balance requests and
// the reading of the plain-text reply (a status number on the first line, the
// balance on the second) into a result map.
namespace SmsRuProtocol {

// Real public host of the gateway; "baseUrl" in the settings may replace it.
inline const char *const DefaultHost = "https://sms.ru";
inline const char *const SendPath = "/sms/send";
inline const char *const BalancePath = "/my/balance";
inline const char *const StatusPath = "/sms/status";
inline const char *const PartnerId = "493517";
inline const char *const QueryContentType = "text/plain";
inline const char *const FormContentType = "application/x-www-form-urlencoded";
constexpr int MaxBatch = 100;
// Longest URL sent with the parameters in its query. Web servers commonly
// refuse request lines over 8 KB with 414, and a hundred Cyrillic texts come
// to some 70 KB once percent-encoded; one SMS alone always fits.
constexpr int MaxUrlLength = 4000;

struct Settings
{
    QString apiKey;
    QString senderId;
    bool translit = false;
};

// One HTTP request to the gateway, always a POST.
struct Request
{
    QUrl url;
    QByteArray contentType;
    QByteArray body; // empty while everything travels in the URL
};

// The name of an SMS's item in a send request: multi[7XXXXXXXXXX]. The
// gateway reads the items as a table keyed by this name, so two SMS with the
// same name in one request leave only the last, and the reply still says 100.
QString itemName(const SMSMessage &msg);
// True when no SMS of batch has the item name of next.
bool itemNameFree(const QList<SMSMessage *> &batch, const SMSMessage &next);

// The send request: api_id, from, translit, partner_id, then one
// multi[7XXXXXXXXXX] item per SMS in batch order. Every name and value is
// fully percent-encoded, so '+', '&', '%' and '#' in a text arrive unchanged.
// Up to MaxUrlLength bytes of URL the items form the query of the endpoint
// and the body is empty; beyond that the URL is the bare endpoint and the
// same items, in the same order and encoding, form the body.
Request sendRequest(const QUrl &endpoint, const Settings &settings, const QList<SMSMessage> &batch);
// The balance request: api_id alone, in the query.
Request balanceRequest(const QUrl &endpoint, const Settings &settings);

// The status request of one message (a GET): api_id and sms_id in the query.
Request statusRequest(const QUrl &endpoint, const Settings &settings, const QString &messageId);

// Reply to a send (requestType 1) or balance (2) request, as a result map. An
// accepted send's lines after the status line are the messages' ids, one per
// number in batch order (ResultKey::MessageIds).
QVariantMap parseReply(const QByteArray &body, int requestType);
// Reply to a status request: the first line is the message's status
// (ResultKey::Statuses and StatusTexts, one entry); a first line that is no
// number is a failed request.
QVariantMap parseStatusReply(const QByteArray &body);

// The error text for a status number.
QString errorText(int status);

} // namespace SmsRuProtocol
