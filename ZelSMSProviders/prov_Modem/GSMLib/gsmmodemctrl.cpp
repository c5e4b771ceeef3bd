#include "gsmmodemctrl.h"

#include "at_commandcreg_check.h"
#include "at_commandcsq_check.h"
#include "at_commandcwservicecheck.h"
#include "at_commandcwserviceset.h"
#include "at_commandsendsms.h"
#include "at_commandsendussd.h"
#include "at_commandsimstate.h"
#include "at_initcmdsequence.h"
#include "at_storedreportlistsequence.h"
#include "gsmclock.h"
#include "gsmlog.h"

#include <stdexcept>

namespace {

constexpr qint64 CsqCheckMs = 25000;
// Often enough that a lost network shows in the station's status within 15 s
// (a check, then at most one 5 s status period).
constexpr qint64 RegCheckMs = 7000;
constexpr qint64 CleanupMs = 300000;
constexpr qint64 CwCheckMs = 1800000;
// A command needs at most five steps from the queue to its end; a sequence
// one more per sub-command.
constexpr int MaxStepsPerCall = 64;

std::string utf8(const QByteArray &bytes)
{
    return bytes.toStdString();
}
} // namespace

GSMModemCtrl::GSMModemCtrl(QObject *parent)
    : QObject(parent), m_concatReference(quint8(GsmClock::nowMs() & 0xFF))
{
    reset();
}

GSMModemCtrl::~GSMModemCtrl()
{
    // Commands still queued refer to this controller; drop them first.
    m_queue.clear();
}

quint8 GSMModemCtrl::nextConcatReference()
{
    return ++m_concatReference;
}

void GSMModemCtrl::reset()
{
    const GsmLogOrigin origin(m_logOrigin);
    const qint64 now = GsmClock::nowMs();
    m_gsmStatus = GsmUnknown;
    m_rssi = 0;
    m_ber = 0;
    m_signalKnown = false;
    m_registrationLogDue = false;
    m_balance = 0.0;
    m_balanceValid = false;
    m_cwState = CwNotSet;
    m_ctrlState = NeedsInit;
    m_reportMode = 0; // the initialisation agrees on it again
    // flashSms is a setting, like the PIN: a modem restart (SYSSTART) resets
    // without the provider giving the settings again.
    m_lastRegCheckMs = m_lastCsqCheckMs = m_lastCleanupMs = m_lastCwCheckMs = 0;
    m_lastRegisteredMs = m_lastResponseMs = m_initStartMs = now;
    m_callsInProgress.clear();
}

bool GSMModemCtrl::isValidPin(const QString &pin)
{
    if (pin.size() < 4 || pin.size() > 8)
        return false;
    for (const QChar c : pin)
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    return true;
}

void GSMModemCtrl::setPinCode(const QString &pin)
{
    m_pinGuard.setPin(pin);
    m_pinCode = pin;
}

void GSMModemCtrl::setResetCommand(const QByteArray &command, qint64 afterMs)
{
    m_resetCommand = command;
    m_resetAfterMs = afterMs;
}

void GSMModemCtrl::clearSilence()
{
    m_silent = false;
    m_timeoutsInRow = 0;
    m_reinitLogged = m_resetSent = false;
}

void GSMModemCtrl::setLastResponseMs(qint64 ms)
{
    m_lastResponseMs = ms;
    m_timeoutsInRow = 0;
    if (!m_silent)
        return;
    clearSilence();
    G_LOG(LS_INFO, "GSM модем снова отвечает");
    // What the modem says now matters, not what it said before it fell silent.
    m_lastRegCheckMs = m_lastCsqCheckMs = 0;
}

void GSMModemCtrl::onCommandTimedOut()
{
    ++m_timeoutsInRow;
    if (m_silent)
        return;
    m_silent = true;
    m_silentSinceMs = GsmClock::nowMs();
    m_modemResponded = 0;
    m_gsmStatus = GsmUnknown;
    m_rssi = 99;
    m_signalKnown = false;
    G_LOG(LS_WARNING, "GSM модем не ответил на команду; следующая проверка через " +
                          std::to_string(SilentProbeMs / 1000) + " с");
}

// The rungs that need no answer from the modem: re-initialise after a few
// time-outs in a row, and the configured reset command once after a long
// silence. Each rung is logged once per silence. True when the tick must end.
bool GSMModemCtrl::runHealingLadder(qint64 now)
{
    if (!m_silent)
        return false;
    if (!m_resetSent && !m_resetCommand.isEmpty() && now - m_silentSinceMs > m_resetAfterMs) {
        m_resetSent = true;
        G_LOG(LS_WARNING, "GSM модем не отвечает " + std::to_string(m_resetAfterMs / 1000) +
                              " с: отправлена команда сброса " + m_resetCommand.toStdString());
        writeCommand(m_resetCommand + '\r');
        m_timeoutsInRow = 0;
        resetKeepingSilence();
        return true;
    }
    if (m_ctrlState == Working && m_timeoutsInRow >= TimeoutsBeforeReinit) {
        if (!m_reinitLogged)
            G_LOG(LS_WARNING, "GSM модем не ответил " + std::to_string(m_timeoutsInRow) +
                                  " раз подряд. Повторная инициализация...");
        m_reinitLogged = true;
        m_timeoutsInRow = 0;
        resetKeepingSilence();
        return true;
    }
    return false;
}

void GSMModemCtrl::resetKeepingSilence()
{
    // A rung of the ladder is no answer: the no-answer rule (and with it the
    // reopened port) still counts from the modem's last answer.
    const qint64 lastResponse = m_lastResponseMs;
    reset();
    m_lastResponseMs = lastResponse;
}

void GSMModemCtrl::onSmsRefused(int cmsCode)
{
    const GsmLogOrigin origin(m_logOrigin);
    if (cmsCode == 331)
        setGsmStatusQuietly(GsmSearching);
    else
        setGsmStatus(GsmNoSim);
    m_lastRegCheckMs = 0;
}

void GSMModemCtrl::onNotRegistered()
{
    // The network may be out of reach, or the SIM gone: only the SIM can say.
    if (m_ctrlState == Working)
        m_queue.append(std::make_shared<AT_CommandSimState>(*this));
}

bool GSMModemCtrl::isNewSimProblem(const std::string &what)
{
    if (m_lastSimProblem == what.c_str())
        return false;
    m_lastSimProblem = QByteArray::fromStdString(what);
    return true;
}

void GSMModemCtrl::onSimReady()
{
    m_pinGuard.simReady();
    m_lastSimProblem.clear();
}

void GSMModemCtrl::onSimState(const QByteArray &state)
{
    if (state == "+CPIN: READY") {
        onSimReady();
        if (m_gsmStatus != GsmNoSim)
            return;
        // A SIM put back needs the whole initialisation (PIN, message store).
        G_LOG(LS_INFO, "SIM карта снова доступна. Повторная инициализация...");
        reset();
        return;
    }
    if (state == "+CPIN: SIM PIN" && m_gsmStatus == GsmNoSim) {
        G_LOG(LS_INFO, "SIM карта снова вставлена и ожидает PIN код. Повторная инициализация...");
        reset();
        return;
    }
    setGsmStatus(GsmNoSim);
}

void GSMModemCtrl::tick()
{
    const GsmLogOrigin origin(m_logOrigin);
    const qint64 now = GsmClock::nowMs();
    if (runHealingLadder(now))
        return;
    if (now - m_lastResponseMs > NoAnswerLimitMs)
        throw std::runtime_error("GSM модем не отвечает. Попытка повторной инициализации...");

    switch (m_ctrlState) {
    case Initialising:
        if (now - m_initStartMs > InitLimitMs)
            throw std::runtime_error("Превышено время ожидания инициализации модема. Попытка "
                                     "повторной инициализации...");
        break;
    case Working:
        if (m_gsmStatus == GsmRegistered) {
            m_lastRegisteredMs = now;
        } else if (now - m_lastRegisteredMs > NoNetworkLimitMs) {
            G_LOG(LS_WARNING,
                  "Отсутствует(потерян) сигнал сети GSM. Попытка повторной инициализации...");
            reset();
            return;
        }
        break;
    case NeedsInit:
        startInitialisation();
        break;
    default:
        G_LOG(LS_VERBOSE,
              "[GSMModemCtrl::tick()]: UNPREDICTED ctrlState " + std::to_string(m_ctrlState));
        reset();
        return;
    }

    if (m_queue.isEmpty())
        runPeriodicChecks(now);
    runQueue();
}

// Steps the front command as far as it goes without the modem: a finished
// command hands over to the next one in the same call, so the line never sits
// idle waiting for a tick. Each step either moves a command on or stops the
// loop; the bound only guards against a command that claims otherwise.
void GSMModemCtrl::runQueue()
{
    for (int steps = 0; steps < MaxStepsPerCall && !m_queue.isEmpty(); ++steps) {
        // Hold the front command: a command's own hooks may reset the queue.
        const AT_CommandPtr front = m_queue.first();
        const int step = front->process();
        if (step == AT_CommandBase::StepRunning) {
            if (front->readyInMs() != 0)
                return;
            continue;
        }
        if (step == AT_CommandBase::StepImpossible)
            G_LOG(LS_VERBOSE, utf8(front->resultText()));
        if (!m_queue.isEmpty() && m_queue.first() == front)
            m_queue.removeFirst();
        m_rxBuffer.clear();
    }
}

int GSMModemCtrl::msUntilNextStep() const
{
    return m_queue.isEmpty() ? -1 : m_queue.first()->readyInMs();
}

int GSMModemCtrl::probeGapLeftMs() const
{
    // A silent modem gets one command line per probe interval, whatever
    // command it is (a repeated check, the initialisation's ESC AT).
    return m_silent ? int(qBound<qint64>(0, m_lastWriteMs + SilentProbeMs - GsmClock::nowMs(),
                                         SilentProbeMs))
                    : 0;
}

int GSMModemCtrl::quietGapLeftMs() const
{
    const qint64 now = GsmClock::nowMs();
    const int probeLeft = probeGapLeftMs();
    if (m_commandGapMs <= 0 || m_lastFinalResultMs == 0)
        return probeLeft;
    // Strictly more than the gap in whole milliseconds, so that the true
    // interval is never shorter than the gap.
    const qint64 left = m_lastFinalResultMs + m_commandGapMs + 1 - now;
    return qMax(probeLeft, int(qBound<qint64>(0, left, m_commandGapMs + 1)));
}

qint64 GSMModemCtrl::msUntilDue() const
{
    // A silent modem is on the healing ladder, whose steps go by the tick.
    if (m_ctrlState != Working || !m_queue.isEmpty() || m_silent)
        return 0;
    const qint64 now = GsmClock::nowMs();
    // tick() acts once more than a period has passed: at last + period + 1.
    const auto after = [now](qint64 last, qint64 period) { return last + period + 1 - now; };
    qint64 due = after(m_lastResponseMs, NoAnswerLimitMs);
    if (m_gsmStatus != GsmRegistered)
        due = qMin(due, after(m_lastRegisteredMs, NoNetworkLimitMs));
    qint64 check =
        qMin(after(m_lastCsqCheckMs, CsqCheckMs),
             qMin(after(m_lastRegCheckMs, RegCheckMs), after(m_lastCleanupMs, CleanupMs)));
    if (m_gsmStatus == GsmRegistered)
        check = m_cwState == CwNotSet ? 0 : qMin(check, after(m_lastCwCheckMs, CwCheckMs));
    // Checks wait while the modem is busy for the user.
    check = qMax(check, m_lastUserCommandMs + UserHoldOffMs - now);
    return qMax<qint64>(0, qMin(due, check));
}

void GSMModemCtrl::noteRegistrationLeft(int newStatus)
{
    if (m_gsmStatus == GsmRegistered && newStatus != GsmRegistered)
        m_lastRegisteredMs = GsmClock::nowMs();
}

void GSMModemCtrl::startInitialisation()
{
    m_queue.clear();
    m_queue.append(std::make_shared<AT_InitCmdSequence>(*this));
    m_ctrlState = Initialising;
    m_initStartMs = GsmClock::nowMs();
    G_LOG(LS_VERBOSE, "Старт инициализации GSM модема...");
}

void GSMModemCtrl::runPeriodicChecks(qint64 now)
{
    if (now - m_lastUserCommandMs < UserHoldOffMs)
        return;
    if (now - m_lastCsqCheckMs > CsqCheckMs) {
        m_lastCsqCheckMs = now;
        m_queue.append(std::make_shared<AT_CommandCSQ_Check>(*this));
    }
    if (now - m_lastRegCheckMs > RegCheckMs) {
        m_lastRegCheckMs = now;
        m_queue.append(std::make_shared<AT_CommandCREG_Check>(*this));
    }
    if (now - m_lastCleanupMs > CleanupMs) {
        m_lastCleanupMs = now;
        queueSlotCleanup();
    }
    if (m_gsmStatus != GsmRegistered)
        return;
    if (m_cwState != CwNotSet) {
        if (now - m_lastCwCheckMs > CwCheckMs) {
            m_lastCwCheckMs = now;
            m_queue.append(std::make_shared<AT_CommandCWServiceCheck>(*this));
        }
    } else {
        m_cwState = CwBeingSet;
        m_lastCwCheckMs = now;
        m_queue.append(std::make_shared<AT_CommandCWServiceSet>(*this, 1, 1, 1));
    }
}

void GSMModemCtrl::queueSlotCleanup()
{
    for (int slot = 1; slot <= 5; ++slot)
        m_queue.append(createCommand(*this, "AT+CMGD=" + QByteArray::number(slot), 300, 1));
}

void GSMModemCtrl::queueSms(const QByteArray &message, const QByteArray &number)
{
    const GsmLogOrigin origin(m_logOrigin);
    // No hold-off after an SMS: its command ends with the modem's own answer,
    // and a check held back for 20 s after it would leave a network lost
    // meanwhile unseen for longer than the station may wait to learn of it.
    m_queue.append(std::make_shared<AT_CommandSendSMS>(*this, message, number));
}

void GSMModemCtrl::queueUssd(const QByteArray &code)
{
    const GsmLogOrigin origin(m_logOrigin);
    m_lastUserCommandMs = GsmClock::nowMs();
    m_queue.append(std::make_shared<AT_CommandSendUSSD>(*this, code));
}

void GSMModemCtrl::writeCommand(const QByteArray &text)
{
    m_rxBuffer.clear();
    m_lastWriteMs = GsmClock::nowMs();
    emit sendOutcommingData(text);
}

void GSMModemCtrl::setSignal(int rssi, int ber)
{
    m_rssi = rssi;
    m_ber = ber;
    // 99 is the modem's own "not known yet".
    m_signalKnown = rssi != 99;
    if (m_signalKnown && m_registrationLogDue) {
        m_registrationLogDue = false;
        logRegistration();
    }
}

void GSMModemCtrl::logRegistration() const
{
    G_LOG(LS_INFO, "Есть регистрация в сети GSM, уровень сигнала: " + std::to_string(m_rssi));
}

void GSMModemCtrl::setGsmStatus(int status)
{
    if (m_gsmStatus == status)
        return;
    m_registrationLogDue = false;
    noteRegistrationLeft(status);
    switch (status) {
    case GsmNoSim:
        G_LOG(LS_ERROR, "SIM карта отсутствует или заблокирована");
        break;
    case GsmRegistered:
        // Registration is often reported before the first signal query; a
        // level of 0 then would be a false alarm about the antenna.
        if (m_signalKnown)
            logRegistration();
        else
            m_registrationLogDue = true;
        break;
    case GsmRefused:
        G_LOG(LS_ERROR, "Отказ регистрации в сети GSM. Возмножно SIM карта заблокирована "
                        "оператором.");
        break;
    default:
        break;
    }
    m_gsmStatus = status;
}

void GSMModemCtrl::setCwState(int state)
{
    if (m_cwState == CwBeingSet) {
        if (state == CwActive)
            G_LOG(LS_INFO, "Служба удержания вызовов активирована");
        else if (state == CwUnavailable)
            G_LOG(LS_WARNING, "Служба удержания вызовов недоступна");
    }
    m_cwState = state;
}

void GSMModemCtrl::onInitFinished()
{
    if (m_gsmStatus == GsmSearching)
        G_LOG(LS_INFO, "GSM модем успешно инициализирован. Ожидание регистрации в сети GSM...");
    else if (m_gsmStatus == GsmRegistered)
        G_LOG(LS_INFO, "GSM модем успешно инициализирован и работает");
    m_ctrlState = Working;
    m_lastRegisteredMs = GsmClock::nowMs();
    // Reports stored while nobody read them (the service stopped, the modem
    // re-initialised) were announced to no one.
    if (m_reportMode == 2)
        m_queue.append(std::make_shared<AT_StoredReportListSequence>(*this));
}

void GSMModemCtrl::removeCallInProgress(const QByteArray &number)
{
    m_callsInProgress.removeAll(number);
}

void GSMModemCtrl::setReportMode(int ds)
{
    m_reportMode = ds;
    if (ds == 0 && m_reportsWanted && !m_reportsRefusedLogged) {
        m_reportsRefusedLogged = true;
        G_LOG(LS_WARNING, "Модем не передаёт отчёты о доставке SMS (AT+CNMI): SMS отправляются "
                          "без отчётов");
    }
}

void GSMModemCtrl::queueNext(const AT_CommandPtr &command)
{
    // Ahead of the front command too while it has written nothing yet (it
    // may be waiting for the quiet gap).
    const AT_CommandPtr front = frontCommand();
    const bool frontOnLine = front && front->state() >= AT_CommandBase::StateSending;
    m_queue.insert(frontOnLine ? 1 : 0, command);
}
