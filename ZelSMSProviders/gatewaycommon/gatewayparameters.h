#pragma once

#include <QString>
#include <QVariant>

// The parameter values of an HTTP gateway plug-in. Limits, pauses and
// intervals are the same for every gateway; each gateway class states the few
// that differ (its id, batching, send reply time-out) where its rules are.
struct GatewayParameters
{
    QString providerId;
    bool batchSend = false;
    int batchSize = 1;
    int replyTimeout = 60; // s

    // The value for a ProviderParam id; invalid for 11 and ids outside 1..11.
    QVariant value(int id) const;
};
