#include "at_commandcpin_check.h"

#include "gsmclock.h"
#include "gsmlog.h"
#include "gsmmodemctrl.h"

AT_CommandCPIN_Check::AT_CommandCPIN_Check(GSMModemCtrl &ctrl) : AT_CommandBase(ctrl)
{
}

void AT_CommandCPIN_Check::onStart()
{
    // Each attempt reads only its own answer: a stale "+CPIN: SIM PIN" from the
    // question before the PIN would otherwise send the PIN again.
    m_infoText.clear();
}

void AT_CommandCPIN_Check::prepare(QByteArray &text)
{
    m_sendingPin = m_pinPending && !m_pinSent;
    if (m_sendingPin) {
        m_pinSent = true;
        m_pinPending = false;
        controller->markPinAttempted();
        text = "AT+CPIN=" + controller->pinCode().toUtf8();
    } else {
        text = "AT+CPIN?";
    }
}

int AT_CommandCPIN_Check::parseResponse()
{
    const QByteArray &buffer = controller->receiveBuffer();
    const AtResponse::FinalResult answer = AtResponse::parseFinalResult(buffer);
    // The modem does answer while the SIM is not ready; the 120 s limit of the
    // initialisation, not the 60 s silence rule, is what applies then.
    if (answer.kind != AtResponse::Final::None)
        controller->setLastResponseMs(GsmClock::nowMs());
    if (m_sendingPin)
        return onPinAnswer(answer);

    const int r = AT_CommandBase::parseResponse();
    if (r == ParseSuccess)
        return onSimState(m_infoText);
    if (r == ParseFailure) {
        controller->setGsmStatus(GSMModemCtrl::GsmNoSim);
        m_timeoutMs = GSMModemCtrl::SimRecheckMs;
        return ParseWaiting;
    }
    // No final result yet, but the SIM state may already stand in the buffer.
    // Only a whole line counts: half of "+CPIN: SIM PIN" is not a missing SIM.
    const int at = buffer.indexOf("+CPIN:");
    const int end = at < 0 ? -1 : buffer.indexOf("\r\n", at);
    if (end < 0)
        return ParseWaiting;
    return onSimState(buffer.mid(at, end - at).trimmed());
}

int AT_CommandCPIN_Check::onPinAnswer(const AtResponse::FinalResult &answer)
{
    using AtResponse::Final;
    if (answer.kind == Final::None)
        return ParseWaiting;
    m_sendingPin = false;
    if (answer.kind == Final::Ok) {
        // Accepted for now; ask again, the SIM has the last word.
        controller->setModemResponded(1);
        m_state = StateStarting;
        return ParseWaiting;
    }
    return refusePin(answer.resultLine);
}

int AT_CommandCPIN_Check::refusePin(const QByteArray &answer)
{
    m_refusalLogged = true;
    G_LOG(LS_CRITICAL, "PIN код SIM карты отвергнут (" + answer.toStdString() +
                           "), повторно не отправляется. Осталось попыток до блокировки SIM "
                           "(PUK): не более " +
                           std::to_string(controller->pinGuard().triesLeft()) +
                           ". Проверьте PIN и измените его в настройках (ModemSettings/pinCode) "
                           "или снимите запрос PIN с SIM карты в телефоне");
    return refuse("");
}

int AT_CommandCPIN_Check::onSimState(const QByteArray &simState)
{
    if (simState == "+CPIN: READY") {
        m_pinPending = false;
        controller->onSimReady();
        return ParseSuccess;
    }
    if (simState == "+CPIN: SIM PUK")
        return refuse("SIM карта заблокирована и ожидает PUK код; служба его не вводит. Вставьте "
                      "SIM карту в телефон, введите PUK код и задайте новый PIN в настройках",
                      LS_CRITICAL);
    if (simState != "+CPIN: SIM PIN")
        return refuse("");
    if (m_pinSent)
        return refusePin(simState);
    const SimPinGuard &guard = controller->pinGuard();
    if (!guard.isTrusted() && !controller->pinCode().isEmpty())
        return refuse("Файл состояния PIN SIM карты " + guard.statePath().toStdString() + " (" +
                          guard.distrust().toStdString() +
                          ") не позволяет знать, сколько попыток ввода PIN осталось; PIN код не "
                          "отправляется. Проверьте SIM карту в телефоне (при необходимости "
                          "введите PIN там), затем удалите этот файл и перезапустите службу",
                      LS_CRITICAL);
    if (controller->pinRefused())
        return refuse("SIM карта ожидает PIN код, отвергнутый ранее; он не отправляется повторно. "
                      "Проверьте PIN и измените его в настройках (ModemSettings/pinCode)",
                      LS_CRITICAL);
    if (!controller->pinCode().isEmpty() && controller->pinGuard().triesLeft() <= 1)
        return refuse("SIM карта ожидает PIN код, но осталась последняя попытка до блокировки SIM "
                      "(PUK); служба PIN не отправляет. Введите PIN вручную в телефоне",
                      LS_CRITICAL);
    if (controller->pinCode().isEmpty())
        return refuse("SIM карта ожидает PIN код, но он не задан в настройках");
    // Whatever follows "AT+CPIN=" goes to the modem as typed: a line break in
    // the setting would send a command of its own.
    if (!GSMModemCtrl::isValidPin(controller->pinCode()))
        return refuse("PIN код SIM карты в настройках неверен: допустимо от 4 до 8 цифр");
    m_pinPending = true;
    m_state = StateStarting;
    return ParseWaiting;
}

// The initialisation is left waiting for its 120 s limit, asking the SIM
// again now and then; the SIM status tells the provider why.
int AT_CommandCPIN_Check::refuse(const std::string &why, int severity)
{
    if (!m_refusalLogged && !why.empty()) {
        m_refusalLogged = true;
        if (controller->isNewSimProblem(why))
            G_LOG(LoggingSeverity(severity), why);
    }
    controller->setGsmStatus(GSMModemCtrl::GsmNoSim);
    m_timeoutMs = GSMModemCtrl::SimRecheckMs;
    return ParseWaiting;
}
