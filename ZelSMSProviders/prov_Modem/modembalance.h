#pragma once

#include "modemsettings.h"

#include <QString>
#include <QVariantMap>
#include <QtGlobal>

class GSMModemCtrl;

// The SIM balance: when to ask the operator by USSD, what the operator said,
// and the periodic control SMS that tells someone the balance. The provider
// decides when a request may start and what its status becomes; this keeps
// the figures and the times.
// Time is read from the modem library's clock so tests can move it.
class ModemBalance
{
public:
    // Unknown; the last request and control SMS lastMs ago (a day, so that
    // a request is due at once after a start).
    void reset(qint64 lastMs);

    int status() const { return m_status; } // 1 when value() came from the operator
    double value() const { return m_value; }

    bool isRequestDue(const ModemSettings &settings, int intervalS) const;
    // Milliseconds until isRequestDue() turns true (a day when never).
    qint64 msUntilRequestDue(const ModemSettings &settings, int intervalS) const;
    void requestSent();
    bool isAnswerOverdue(int timeoutS) const;
    // The answer to the request: true when it told the balance; a failure
    // is logged and its time kept for failureShownFor().
    bool applyAnswer(const QVariantMap &results);
    // A late or unrequested operator answer still tells the true balance.
    void applyUnrequested(const QVariantMap &results);
    // Whether a failed request has been reported for at least ms.
    bool failureShownFor(qint64 ms) const;
    // Milliseconds until failureShownFor(ms) turns true; -1 without a failure.
    qint64 msUntilFailureShown(qint64 ms) const;
    // Another failure took over the error state: it stays until a success.
    void forgetFailure() { m_failedMs = 0; }

    bool isControlSmsPending() const { return m_ctrlSmsPending; }
    void forgetControlSms() { m_ctrlSmsPending = false; }
    // Hands the control SMS to the controller when it is due and the balance
    // is known; it bypasses the queue.
    void maybeQueueControlSms(GSMModemCtrl &ctrl, const ModemSettings &settings);
    // The controller's queue ran empty without a result for it.
    void controlSmsDropped(const ModemSettings &settings, int retryPauseS);
    // An SMS result nobody else waits for: true when it was the control SMS's.
    bool takeControlSmsResult(const ModemSettings &settings, const QVariantMap &results);

    // Appended to every line this logs: names the provider's settings group
    // when it is not the modem's usual one (empty then).
    void setLogOrigin(const QString &origin) { m_logOrigin = origin; }

private:
    int m_status = 0;
    double m_value = 0.0;
    qint64 m_lastRequestMs = 0;
    qint64 m_failedMs = 0; // when a failed request set the error state
    qint64 m_lastCtrlSmsMs = 0;
    bool m_ctrlSmsPending = false;
    QString m_logOrigin;
};
