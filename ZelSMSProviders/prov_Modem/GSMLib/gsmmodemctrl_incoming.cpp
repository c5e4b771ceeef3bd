// What the modem says: the bytes read from the port, split between the front
// command's answer and what the modem reports unasked (alarm calls and SMS,
// delivery reports, USSD answers), and what the controller does with each.
#include "gsmmodemctrl.h"

#include "at_callanswerdtmfsequence.h"
#include "at_storedreportsequence.h"
#include "gsmclock.h"
#include "gsmlog.h"
#include "smspdu.h"

#include <QCoreApplication>

namespace {
std::string utf8(const QByteArray &bytes)
{
    return bytes.toStdString();
}
} // namespace

void GSMModemCtrl::onDataReceived(const char *bytes, int length)
{
    const GsmLogOrigin origin(m_logOrigin);
    if (!bytes || length <= 0)
        return;
    QByteArray chunk(bytes, length);
    if (chunk.contains("SYSSTART")) {
        if (m_ctrlState == Working)
            G_LOG(LS_WARNING, "Зафиксирован (пере)запуск модема");
        reset();
        return;
    }
    chunk.replace('\0', ' ');
    const AT_CommandPtr front = frontCommand();
    if (front && front->isWaitingResponse()) {
        m_rxBuffer += chunk;
        // An alarm call or SMS, or an operator's USSD answer, announced while
        // a command waits belongs to neither: take it out before the command
        // reads its answer.
        QList<bool> afterFinal;
        const QList<QByteArray> found = AtResponse::extractUnsolicited(m_rxBuffer, &afterFinal);
        for (int i = 0; i < found.size(); ++i) {
            m_routedMidCommand = !afterFinal.value(i);
            handleUnsolicited(found.at(i));
        }
        m_routedMidCommand = false;
        // Whatever the command makes of it, the modem has ended an answer:
        // the quiet gap before the next command line counts from here.
        if (AtResponse::parseFinalResult(m_rxBuffer).kind != AtResponse::Final::None)
            m_lastFinalResultMs = GsmClock::nowMs();
        tick();
    } else {
        handleUnsolicited(chunk);
    }
}

void GSMModemCtrl::handleUnsolicited(const QByteArray &chunk)
{
    m_unsolicitedBuffer += chunk;
    // Each pass consumes one result, so the count only guards against a
    // pattern that matches without consuming.
    for (int pass = 0; pass < 32; ++pass) {
        const AtResponse::Unsolicited found = AtResponse::findUnsolicited(m_unsolicitedBuffer);
        if (found.kind == AtResponse::Unsolicited::None || found.end <= 0)
            break;
        m_unsolicitedBuffer.remove(0, found.end);
        handleOne(found);
    }
    m_unsolicitedBuffer = AtResponse::keepUnfinished(m_unsolicitedBuffer);
}

void GSMModemCtrl::handleOne(const AtResponse::Unsolicited &found)
{
    switch (found.kind) {
    case AtResponse::Unsolicited::Clip:
    case AtResponse::Unsolicited::Ccwa:
        onIncomingCall(found.number);
        break;
    case AtResponse::Unsolicited::Cmt:
        onIncomingSms(found.pdu);
        break;
    case AtResponse::Unsolicited::Cusd:
        onUssdAnswer(found.text, found.dcs);
        break;
    case AtResponse::Unsolicited::Cds:
        onStatusReport(found.pdu);
        // With +CSMS service 1 (set by the initialisation) the network waits
        // for this; a modem that gets none in time stops routing reports.
        queueNext(createAcknowledgement(*this, m_routedMidCommand));
        break;
    case AtResponse::Unsolicited::Cdsi:
        queueNext(std::make_shared<AT_StoredReportSequence>(*this, found.text, found.index));
        break;
    default:
        break;
    }
}

void GSMModemCtrl::onIncomingCall(const QByteArray &number)
{
    // Not international, or hidden (empty): not one of the alarm senders.
    if (!number.startsWith('+')) {
        m_queue.append(createCommand(*this, "ATH", 300, 0));
        return;
    }
    if (m_callsInProgress.contains(number))
        return;
    m_callsInProgress.append(number);
    G_LOG(LS_WARNING, "Зарегистрирован тревожный вызов с номера " + utf8(number));
    emit panicCallNotification(QString::fromLatin1(number));
    m_queue.append(std::make_shared<AT_CallAnswerDTMFSequence>(*this, number));
}

void GSMModemCtrl::onIncomingSms(const QByteArray &pdu)
{
    const QByteArray number = SmsPdu::decodeSenderNumber(pdu);
    if (number.isEmpty())
        G_LOG(LS_WARNING, "Не удалось прочитать номер отправителя SMS: " + utf8(pdu.left(64)));
    emit panicCallNotification(QString::fromUtf8(number));
    G_LOG(LS_WARNING, "Зарегистрирован тревожный вызов с номера " + utf8(number));
    // Ahead of waiting SMS: a late acknowledgement makes the modem stop
    // routing SMS and reports to us.
    queueNext(createAcknowledgement(*this, m_routedMidCommand));
    queueSlotCleanup();
}

void GSMModemCtrl::onStatusReport(const QByteArray &pdu)
{
    emit statusReportReceived(pdu);
}

void GSMModemCtrl::onUssdAnswer(const QByteArray &text, const QByteArray &dcs)
{
    const QByteArray decoded = dcs == "72" ? SmsPdu::decodeUcs2Hex(text) : text;
    G_LOG(LS_INFO, "Получен ответ на USSD запрос: " + utf8(decoded));
    const AtResponse::Balance parsed = AtResponse::parseCusdBalance(QString::fromUtf8(decoded));
    QVariantMap result;
    if (parsed.ok) {
        G_LOG(LS_INFO, "Получена информация о балансе SIM карты: " + utf8(decoded));
        m_balance = parsed.value;
        m_balanceValid = true;
        result.insert(QStringLiteral("success"), true);
        result.insert(QStringLiteral("error_code"), 0);
        result.insert(QStringLiteral("error_text"), QString());
        result.insert(QStringLiteral("balance"), parsed.value);
    } else {
        const char *const why = "Ошибка получения баланса SIM карты из строки USSD ответа";
        G_LOG(LS_VERBOSE, why);
        result.insert(QStringLiteral("success"), false);
        result.insert(QStringLiteral("error_code"), 1);
        result.insert(QStringLiteral("error_text"),
                      QCoreApplication::translate("GSMModemCtrl", why));
    }
    // The answer may arrive while an SMS is the front command; the flag tells
    // the receiver that this result is not that SMS's.
    m_committingUssd = true;
    emit commitResponse(result);
    m_committingUssd = false;
}
