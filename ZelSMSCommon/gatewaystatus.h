#pragma once

#include "icommonsmsinterface.h"
#include "ismsoutcomeinterface.h"

#include <QList>
#include <QString>
#include <QVariantMap>
#include <QVector>

// What a gateway's status request asks about and what its answer means, shared
// by the request machine and the gateways that can tell a message's fate.
namespace GatewayStatus {

// One record delivered through a gateway whose report is awaited.
struct Query
{
    quint64 spoolId = 0;
    QString messageId; // the gateway's id from the send reply
    QString recipient; // the number the SMS went to, as the gateway was given it
};

// A status reply's word on one query, at its position in ResultKey::Statuses.
enum Answer
{
    AnswerMissing = 0,      // the reply named it not at all: asked again at its next look
    AnswerWaiting = 1,      // the gateway still tries
    AnswerConfirmed = 2,    // the phone has it
    AnswerFailed = 3,       // a documented final failure
    AnswerUnknownId = 4,    // the gateway knows no such message
    AnswerUnknownStatus = 5 // a status the service does not know: still waiting
};

// A status reply read in full: one answer (Answer) and the gateway's own text
// per query, in query order.
inline QVariantMap replyResult(const QVariantList &answers, const QVariantList &texts)
{
    return QVariantMap{{ResultKey::Success, true},
                       {ResultKey::ErrorCode, 0},
                       {ResultKey::ErrorText, QString()},
                       {ResultKey::Statuses, answers},
                       {ResultKey::StatusTexts, texts}};
}

// Journals written before the id had a note field of its own carry it as its
// UTF-8 octets, one per part reference; those records still wait after an
// update, so the id is read back from them: empty when the references are no
// id (an octet out of range, a zero byte).
inline QString fromReferences(const QVector<int> &references)
{
    QByteArray bytes;
    bytes.reserve(references.size());
    for (const int r : references) {
        if (r <= 0 || r > 255)
            return QString();
        bytes.append(char(r));
    }
    return QString::fromUtf8(bytes);
}

} // namespace GatewayStatus
