#pragma once

#include <QString>
#include <QVariantMap>

class QNetworkReply;

// The result maps the request machine makes or vets itself, apart from the
// gateways' parsers: the map of a reply that failed in the network, and the
// check of a parsed reply's figures before the machine applies them.
class ReplyResult
{
public:
    // A send reply's cost must lie in [0, MaxCost), a balance must be finite;
    // otherwise the reply counts as malformed: a failure with this code, so
    // the balance stays as it was and the status reports a gateway error.
    static constexpr double MaxCost = 1000000.0;
    enum : int
    {
        MalformedReplyCode = -100
    };
    // requestType as BasicSmsRestProvider::RequestType.
    static QVariantMap checkedFigures(int requestType, const QVariantMap &result);

    // A failure with Qt's error number and text, the text without the secrets
    // that gateways carry in request URLs.
    static QVariantMap networkError(const QNetworkReply *reply);
    static QString redactedErrorString(const QNetworkReply *reply);
};
