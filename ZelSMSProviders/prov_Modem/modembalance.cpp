#include "modembalance.h"

#include "gsmclock.h"
#include "gsmmodemctrl.h"
#include "icommonsmsinterface.h"
#include "logcategories.h"
#include "logtext.h"

void ModemBalance::reset(qint64 lastMs)
{
    m_value = 0.0;
    m_status = 0;
    m_lastRequestMs = m_lastCtrlSmsMs = lastMs;
    m_failedMs = 0;
    m_ctrlSmsPending = false;
}

bool ModemBalance::isRequestDue(const ModemSettings &settings, int intervalS) const
{
    return !settings.balancePhone.isEmpty() && GsmClock::secondsSince(m_lastRequestMs) > intervalS;
}

qint64 ModemBalance::msUntilRequestDue(const ModemSettings &settings, int intervalS) const
{
    if (settings.balancePhone.isEmpty())
        return 24LL * 3600 * 1000;
    if (isRequestDue(settings, intervalS))
        return 0;
    // Due once more than intervalS whole seconds have passed.
    return m_lastRequestMs + (qint64(intervalS) + 1) * 1000 - GsmClock::nowMs();
}

void ModemBalance::requestSent()
{
    m_lastRequestMs = GsmClock::nowMs();
}

bool ModemBalance::isAnswerOverdue(int timeoutS) const
{
    return GsmClock::secondsSince(m_lastRequestMs) > timeoutS;
}

bool ModemBalance::applyAnswer(const QVariantMap &results)
{
    if (!results.value(ResultKey::Success).toBool()) {
        qCWarning(lcModem).noquote()
            << QStringLiteral("Ошибка запроса баланса, код %1 (%2)")
                       .arg(results.value(ResultKey::ErrorCode).toString(),
                            LogText::escaped(results.value(ResultKey::ErrorText).toString())) +
                   m_logOrigin;
        m_failedMs = GsmClock::nowMs();
        return false;
    }
    m_status = 1;
    m_value = results.value(ResultKey::Balance).toDouble();
    return true;
}

void ModemBalance::applyUnrequested(const QVariantMap &results)
{
    if (results.value(ResultKey::Success).toBool() && results.contains(ResultKey::Balance)) {
        m_status = 1;
        m_value = results.value(ResultKey::Balance).toDouble();
    }
}

bool ModemBalance::failureShownFor(qint64 ms) const
{
    return m_failedMs > 0 && GsmClock::nowMs() - m_failedMs >= ms;
}

qint64 ModemBalance::msUntilFailureShown(qint64 ms) const
{
    return m_failedMs > 0 ? qMax<qint64>(0, m_failedMs + ms - GsmClock::nowMs()) : -1;
}

void ModemBalance::maybeQueueControlSms(GSMModemCtrl &ctrl, const ModemSettings &settings)
{
    if (!settings.sendCtrlSms || settings.ctrlSmsNum.isEmpty() || m_status != 1 || m_ctrlSmsPending)
        return;
    if (GsmClock::secondsSince(m_lastCtrlSmsMs) <= qint64(settings.ctrlSmsIntervalHours) * 3600)
        return;
    m_lastCtrlSmsMs = GsmClock::nowMs();
    const QString number = ModemFormat::smsNumber(settings.ctrlSmsNum);
    if (number.isEmpty()) {
        qCWarning(lcModem).noquote()
            << QStringLiteral(
                   "[ModemBalance::maybeQueueControlSms()]: неверный номер контрольного SMS \"%1\"")
                       .arg(settings.ctrlSmsNum) +
                   m_logOrigin;
        return;
    }
    ctrl.queueSms(ModemFormat::controlSmsText(m_value).toUtf8(), number.toLatin1());
    m_ctrlSmsPending = true;
}

// A modem restart or a lost network dropped it. Left pending, it would block
// every later control SMS; it is tried again after the usual retry pause.
void ModemBalance::controlSmsDropped(const ModemSettings &settings, int retryPauseS)
{
    m_ctrlSmsPending = false;
    const qint64 periodMs = qint64(settings.ctrlSmsIntervalHours) * 3600 * 1000;
    m_lastCtrlSmsMs = GsmClock::nowMs() - periodMs + qint64(retryPauseS) * 1000;
    qCWarning(lcModem).noquote() << QStringLiteral(
                                        "[ModemBalance::controlSmsDropped()]: контрольное SMS не "
                                        "отправлено (очередь модема сброшена), повтор через %1 с")
                                            .arg(retryPauseS) +
                                        m_logOrigin;
}

bool ModemBalance::takeControlSmsResult(const ModemSettings &settings, const QVariantMap &results)
{
    if (!m_ctrlSmsPending)
        return false;
    m_ctrlSmsPending = false;
    if (results.value(ResultKey::Success).toBool())
        qCDebug(lcModem).noquote() << QStringLiteral("Отправлено контрольное SMS на номер %1")
                                              .arg(ModemFormat::smsNumber(settings.ctrlSmsNum)) +
                                          m_logOrigin;
    else
        qCWarning(lcModem).noquote()
            << QStringLiteral("Ошибка отправки контрольного SMS, код %1 (%2)")
                       .arg(results.value(ResultKey::ErrorCode).toString(),
                            LogText::escaped(results.value(ResultKey::ErrorText).toString())) +
                   m_logOrigin;
    return true;
}
