#include "at_commandsendsms.h"

#include "atresponse.h"
#include "gsmclock.h"
#include "gsmlog.h"
#include "gsmmodemctrl.h"
#include "smspdu.h"

#include <QVariantMap>

namespace {

const char *const TimeoutText = "Превышено время ожидания отправки SMS сообщения";
const char *const FailureText = "Ошибка отправки SMS сообщения";

} // namespace

AT_CommandSendSMS::AT_CommandSendSMS(GSMModemCtrl &ctrl, const QByteArray &message,
                                     const QByteArray &number)
    : AT_CommandBase(ctrl), m_number(number)
{
    m_timeoutMs = 12000;
    m_failFast = 1;
    const bool flash = controller->flashSms();
    if (!SmsPdu::isValidNumber(number)) {
        m_failCode = 3;
        m_failText = "Неверный номер получателя SMS: \"" + number.left(32) + '"';
        m_phase = 4;
    } else {
        m_statusReport = controller->statusReportsActive();
        m_parts = SmsPdu::buildPduParts(message, number, flash, controller->nextConcatReference(),
                                        m_statusReport);
    }
    // The message text itself is not kept: only its parts' PDUs are sent.
    m_pdu = m_parts.value(0);
}

void AT_CommandSendSMS::prepare(QByteArray &text)
{
    if (m_phase == 0)
        text = "AT+CMGS=" + QByteArray::number(SmsPdu::cmgsLength(m_pdu));
    else if (m_phase == 1)
        text = m_pdu + char(26);
    else
        text.clear();
}

int AT_CommandSendSMS::readyInMs() const
{
    // The first check after the PDU only moves the phase on, and a message
    // refused at construction waits for nothing: neither needs the modem.
    if (m_state == StateWaiting && (m_phase == 1 || m_parts.isEmpty()))
        return 0;
    return AT_CommandBase::readyInMs();
}

int AT_CommandSendSMS::parseResponse()
{
    using AtResponse::Final;
    switch (m_phase) {
    case 0: {
        if (AtResponse::isSmsPrompt(controller->receiveBuffer())) {
            m_state = StateStarting;
            m_phase = 1;
            return ParseWaiting;
        }
        // A refusal before the prompt ("+CMS ERROR: 302", "ERROR") is final;
        // waiting 12 s for a prompt that will not come only delays the retry.
        const AtResponse::FinalResult r = AtResponse::parseFinalResult(controller->receiveBuffer());
        if (r.kind == Final::None || r.kind == Final::Ok)
            return ParseWaiting;
        AT_CommandBase::parseResponse(); // logs the code
        return failWith(m_errorCode ? m_errorCode : 2, FailureText);
    }
    case 1:
        m_phase = 2;
        return ParseWaiting;
    case 2: {
        m_infoText.clear(); // the previous part's "+CMGS:" must not pass for this one's
        const int r = AT_CommandBase::parseResponse();
        if (r == ParseSuccess) {
            m_references.append(AtResponse::parseCmgsReference(m_infoText));
            if (m_part + 1 < m_parts.size()) {
                m_pdu = m_parts.at(++m_part);
                m_phase = 0;
                m_state = StateStarting;
                return ParseWaiting;
            }
            m_phase = 3;
            return ParseSuccess;
        }
        if (r == ParseFailure) {
            ++m_errorCount;
            return failWith(m_errorCode ? m_errorCode : 2, FailureText);
        }
        return ParseWaiting;
    }
    default:
        // Refused at construction: nothing was sent, nothing to wait for.
        return m_parts.isEmpty() ? ParseFailure : ParseWaiting;
    }
}

int AT_CommandSendSMS::failWith(int code, const QByteArray &why)
{
    m_failCode = code;
    m_failText = why;
    m_phase = 4;
    return ParseFailure;
}

void AT_CommandSendSMS::onFinish()
{
    QVariantMap result;
    result.insert(QStringLiteral("success"), m_phase == 3);
    result.insert(QStringLiteral("error_code"), 0);
    result.insert(QStringLiteral("error_text"), QString());
    if (m_phase == 0 || m_phase == 1 || m_phase == 2) {
        result.insert(QStringLiteral("error_code"), 1);
        result.insert(QStringLiteral("error_text"), QString::fromUtf8(TimeoutText));
    } else if (m_phase == 4) {
        result.insert(QStringLiteral("error_code"), m_failCode);
        result.insert(QStringLiteral("error_text"), QString::fromUtf8(m_failText));
    }
    if (m_phase == 3) {
        result.insert(QLatin1String(SendSmsResult::StatusReport), m_statusReport);
        result.insert(QLatin1String(SendSmsResult::References), m_references);
    }
    if (m_parts.size() > 1 && m_phase != 3)
        result[QStringLiteral("error_text")] =
            result.value(QStringLiteral("error_text")).toString() +
            QStringLiteral(" (часть %1 из %2)").arg(m_part + 1).arg(m_parts.size());
    controller->emitCommit(result);
}
