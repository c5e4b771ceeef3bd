#include "prov_modem.h"

#include "at_commandsendsms.h"
#include "gsmclock.h"
#include "logcategories.h"

namespace {

QVariantMap failure(int code, const QString &text)
{
    return QVariantMap{
        {ResultKey::Success, false}, {ResultKey::ErrorCode, code}, {ResultKey::ErrorText, text}};
}

} // namespace

void PROV_Modem::failSmsWait(const QString &why)
{
    qCWarning(lcModem).noquote()
        << QStringLiteral(
               "[PROV_Modem::failSmsWait()]: Истек таймаут ожидания результата отправки SMS") +
               m_logOrigin;
    applySmsResult(failure(-1, why));
    m_requestType = RequestNone;
    m_providerState = StateIdle;
}

void PROV_Modem::requeueInFlight(const QString &why)
{
    // The modem went away under the request; that is no fault of the message,
    // so it goes back to the head of the queue without counting a failure.
    // Once its PDU reached the modem the attempt is noted all the same: the
    // network may have taken it.
    if (m_requestType == RequestSms) {
        if (pduReachedModem())
            m_queue.batchInterrupted(why + QStringLiteral("; SMS будет отправлено снова"));
        else
            m_queue.returnBatchToHead();
    }
    m_requestType = RequestNone;
}

bool PROV_Modem::pduReachedModem() const
{
    const auto *send = dynamic_cast<const AT_CommandSendSMS *>(m_ctrl.frontCommand().get());
    return send && (send->phase() == 1 || send->phase() == 2);
}

bool PROV_Modem::controllerSendsSms() const
{
    return dynamic_cast<AT_CommandSendSMS *>(m_ctrl.frontCommand().get()) != nullptr;
}

void PROV_Modem::commitModemResult(QVariantMap results)
{
    // An SMS result is committed by the send command while it is still the
    // controller's front command; USSD answers come from the unsolicited
    // handler, whatever runs then. requestType alone cannot tell them apart:
    // the control SMS and a late answer arrive while another request waits.
    const bool fromSms = !m_ctrl.isCommittingUssd() && controllerSendsSms();
    if (fromSms && m_requestType == RequestSms)
        applySmsResult(results);
    else if (!fromSms && m_requestType == RequestBalance)
        applyBalanceResult(results);
    else {
        applyStrayResult(fromSms, results);
        return;
    }
    m_requestType = RequestNone;
    m_providerState = StateIdle;
    scheduleStep(); // the next request starts now, not on the next tick
}

// A refusal for want of network service or of a usable SIM, while the
// controller took the modem for ready: the modem has changed, not the
// message. The message goes back to the head of the queue uncounted, and the
// controller checks registration and SIM at once.
bool PROV_Modem::isKnownConditionFailure(const QVariantMap &results)
{
    if (m_ctrl.isSilent()) {
        // The modem fell silent under the send, as when it goes away: no
        // fault of the message, which must not wait out the retry pause.
        qCWarning(lcModem).noquote()
            << QStringLiteral("[PROV_Modem::applySmsResult()]: модем перестал отвечать "
                              "во время отправки SMS; оно будет отправлено снова") +
                   m_logOrigin;
        if (pduReachedModem())
            m_queue.batchInterrupted(QStringLiteral("модем перестал отвечать во время отправки "
                                                    "SMS; SMS будет отправлено снова"));
        else
            m_queue.returnBatchToHead();
        return true;
    }
    const int code = results.value(ResultKey::ErrorCode).toInt();
    const bool network = code == 331;
    const bool sim = code >= 310 && code <= 316;
    if (m_conditionFailureForgiven || (!network && !sim))
        return false;
    m_conditionFailureForgiven = true;
    qCWarning(lcModem).noquote()
        << QStringLiteral("[PROV_Modem::applySmsResult()]: SMS не отправлено (код %1): %2; оно "
                          "будет отправлено, когда модем снова будет готов")
                   .arg(code)
                   .arg(network ? QStringLiteral("нет обслуживания сети")
                                : QStringLiteral("SIM карта недоступна")) +
               m_logOrigin;
    m_ctrl.onSmsRefused(code);
    m_queue.returnBatchToHead();
    return true;
}

void PROV_Modem::applySmsResult(const QVariantMap &results)
{
    if (!results.value(ResultKey::Success).toBool() && isKnownConditionFailure(results))
        return;
    if (!results.value(ResultKey::Success).toBool()) {
        m_queue.batchFailed(results, GsmClock::nowMs() - m_lastSmsMs,
                            qint64(m_timings.retryPauseS) * 1000);
        ++m_failCount;
        m_paused = 1;
        m_errorState = StatusGatewayError;
        m_balance.forgetFailure(); // this one stays until a request succeeds
    } else {
        m_errorState = StatusOk;
        m_paused = 0;
        m_failCount = 0;
        m_conditionFailureForgiven = false;
        const QVector<quint64> ids = m_queue.batchIds();
        const QByteArray number =
            m_queue.batch().isEmpty()
                ? QByteArray()
                : ModemFormat::smsNumber(SmsText::phoneText(m_queue.batch().first())).toLatin1();
        m_queue.batchDelivered();
        m_reports.sent(ids, results, number);
    }
}

void PROV_Modem::applyBalanceResult(const QVariantMap &results)
{
    m_errorState = m_balance.applyAnswer(results) ? StatusOk : StatusGatewayError;
}

void PROV_Modem::applyStrayResult(bool fromSms, const QVariantMap &results)
{
    if (fromSms && m_balance.takeControlSmsResult(m_settings, results))
        return;
    if (fromSms)
        qCWarning(lcModem).noquote()
            << QStringLiteral("[PROV_Modem::applyStrayResult()]: результат SMS после истечения "
                              "таймаута ожидания, успех: %1")
                       .arg(results.value(ResultKey::Success).toBool() ? 1 : 0) +
                   m_logOrigin;
    else
        m_balance.applyUnrequested(results);
}
