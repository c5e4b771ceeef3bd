#include "prov_modem.h"

#include "gsmclock.h"
#include "logcategories.h"
#include "ownmetadata.h"

#include <exception>

namespace {

constexpr qint64 OneDayMs = 24LL * 3600 * 1000;

} // namespace

PROV_Modem::PROV_Modem(QObject *parent)
    : QObject(parent), m_settingsGroup(ownMetaData().registryGroup), m_timer(new QTimer(this)),
      m_stepTimer(new QTimer(this))
{
    SmsText::registerSmsMessageType();
    connect(m_timer, &QTimer::timeout, this, &PROV_Modem::stateMachine);
    // Precise: a coarse timer may fire a little early and find the quiet gap
    // after the modem's answer not yet over.
    m_stepTimer->setSingleShot(true);
    m_stepTimer->setTimerType(Qt::PreciseTimer);
    connect(m_stepTimer, &QTimer::timeout, this, &PROV_Modem::onStepTimer);
    connect(&m_ctrl, &GSMModemCtrl::sendOutcommingData, this, &PROV_Modem::sendSerialData);
    connect(&m_ctrl, &GSMModemCtrl::commitResponse, this, &PROV_Modem::commitModemResult);
    connect(&m_ctrl, &GSMModemCtrl::statusReportReceived, this,
            [this](const QByteArray &pdu) { m_reports.received(pdu); });
    // Made once here rather than in readSettings(): every start() reads the
    // settings again, and a second connection would hand each chunk to the
    // controller twice.
    connect(&m_port, &ModemPort::readyRead, this, &PROV_Modem::readSerialData);
    // The SMS on the line goes back at once, before the host can see the port
    // closed and take its records back: a record it takes back in flight
    // would end dropped and wait out the host's pause after the modem's
    // return, behind every newer alarm.
    connect(&m_port, &ModemPort::closed, this, [this] {
        if (m_requestType == RequestNone)
            return;
        requeueInFlight(QStringLiteral("COM порт модема закрыт во время отправки SMS"));
        if (m_providerState == StateSendRequest || m_providerState == StateWaitResult)
            m_providerState = StateIdle;
        scheduleStep();
    });
    resetState();
}

PROV_Modem::~PROV_Modem()
{
    m_timer->stop();
    m_stepTimer->stop();
}

int PROV_Modem::enqueueSms(const SMSMessage &msg)
{
    return enqueue(msg, nullptr);
}

int PROV_Modem::enqueueTracked(quint64 spoolId, const SMSMessage &msg)
{
    return enqueue(msg, &spoolId);
}

bool PROV_Modem::withdraw(quint64 spoolId)
{
    return m_queue.withdraw(spoolId);
}

int PROV_Modem::enqueue(const SMSMessage &msg, const quint64 *spoolId)
{
    if (m_queue.add(msg, spoolId))
        scheduleStep();
    return 0;
}

double PROV_Modem::balance(int *known)
{
    if (known)
        *known = m_balance.status();
    return m_balance.value();
}

int PROV_Modem::providerStatus()
{
    // A modem that cannot send is "no link" whatever else is known, so that
    // the station learns of it without waiting for an SMS to fail.
    if (m_providerState != StateStopped &&
        ModemHealth::conditionOf(m_port.isOpen(), m_ctrl) != ModemHealth::Ready)
        return StatusNoLink;
    if (parameter(ParamBalanceCheck).toBool() && m_balance.status() == 1 && m_balance.value() < 1.0)
        return StatusLowBalance;
    return m_errorState;
}

void PROV_Modem::start()
{
    if (!readSettings()) {
        qCCritical(lcModem).noquote()
            << QStringLiteral("Ошибка инициализации провайдера SMS оповещений") + m_logOrigin;
        if (!m_settings.isComplete())
            qCCritical(lcModem).noquote()
                << QStringLiteral(
                       "[PROV_Modem::start()]: не задан COM-порт (ключ comPort группы %1)")
                           .arg(m_settingsGroup) +
                       m_logOrigin;
        for (const QString &error : qAsConst(m_settings.errors))
            qCCritical(lcModem).noquote()
                << QStringLiteral("[PROV_Modem::start()]: ") + error + m_logOrigin;
        return;
    }
    m_ctrl.pinGuard().setStatePath(pinStatePath(m_settingsGroup));
    m_ctrl.setResetCommand(m_settings.resetCommand.toLatin1(),
                           qint64(m_settings.resetAfterSeconds) * 1000);
    m_providerState = StateOpenPort;
    m_timer->start(m_timings.tickMs);
    qCDebug(lcModem).noquote() << QStringLiteral("Запуск провайдера SMS оповещений") + m_logOrigin;
}

void PROV_Modem::stop()
{
    m_timer->stop();
    m_stepTimer->stop();
    resetState();
}

void PROV_Modem::resetState()
{
    const qint64 dayAgo = GsmClock::nowMs() - OneDayMs;
    m_providerState = StateStopped;
    m_balance.reset(dayAgo);
    m_requestType = RequestNone;
    m_lastSmsMs = dayAgo;
    m_paused = 0;
    m_failCount = 0;
    m_errorState = StatusOk;
    m_queue.clear();
    m_ctrl.reset();
    m_ctrl.clearSilence();
    m_health.reset();
    m_conditionFailureForgiven = false;
    m_ioErrorLogged = false;
}

void PROV_Modem::stateMachine()
{
    const int before = m_providerState;
    switch (m_providerState) {
    case StateOpenPort:
        stateOpenPort();
        break;
    case StateIdle:
        stateIdle();
        break;
    case StateSendRequest:
        stateSendRequest();
        break;
    case StateWaitResult:
        stateWaitResult();
        break;
    default:
        qCWarning(lcModem).noquote()
            << QStringLiteral("[PROV_Modem::stateMachine()]: UNPREDICTED providerState") +
                   m_logOrigin;
        break;
    }
    // An idle run that started nothing is not repeated before the next tick
    // or event, whatever canStartWork() says.
    scheduleStep(before != StateIdle || m_providerState != StateIdle);
}

void PROV_Modem::onStepTimer()
{
    // Opening the port stays on the tick: its retry pacing is the tick's.
    if (m_providerState == StateIdle || m_providerState == StateSendRequest ||
        m_providerState == StateWaitResult)
        stateMachine();
}

// Arms the step timer when the state machine or the controller can move on
// before the next tick. Only ever arms a timer, so it is safe to call from
// inside the controller's own tick (a result committed from a read).
void PROV_Modem::scheduleStep(bool idleMayStart)
{
    if (!m_timer->isActive())
        return; // stopped, or held by a caller that drives the ticks itself
    armTick();
    int delay = m_ctrl.msUntilNextStep();
    if (m_providerState == StateSendRequest ||
        (m_providerState == StateIdle && idleMayStart && canStartWork()))
        delay = 0;
    if (delay < 0)
        return;
    if (m_stepTimer->isActive() && m_stepTimer->remainingTime() <= delay)
        return;
    m_stepTimer->start(delay);
}

// Every path that can start or end work runs through scheduleStep(), so the
// pace is set again wherever it may change.
void PROV_Modem::armTick()
{
    if (!m_timer->isActive())
        return; // stopped, or held by a caller that drives the ticks itself
    qint64 ms = m_timings.tickMs;
    if (canSleep()) {
        qint64 due = m_ctrl.msUntilDue();
        if (parameter(ParamBalanceCheck).toBool())
            due = qMin(due, m_balance.msUntilRequestDue(m_settings, m_timings.balanceIntervalS));
        // A failed balance request is shown for a while, not until the
        // controller's next check, which a USSD request holds off for 20 s.
        const qint64 shown = m_balance.msUntilFailureShown(m_timings.balanceErrorShownMs);
        if (m_errorState == StatusGatewayError && shown >= 0)
            due = qMin(due, shown);
        ms = qBound<qint64>(m_timings.tickMs, due, qMax(m_timings.tickMs, m_timings.idleLookMs));
    }
    // Precise when asleep: a coarse timer may fire a little early, find the
    // check not yet due and cost a second wake-up for it.
    const Qt::TimerType type = ms > m_timings.tickMs ? Qt::PreciseTimer : Qt::CoarseTimer;
    if (m_timer->interval() != int(ms) || m_timer->timerType() != type) {
        m_timer->setTimerType(type);
        m_timer->start(int(ms));
    }
}

bool PROV_Modem::canSleep() const
{
    return m_providerState == StateIdle && m_port.isOpen() && m_errorState != StatusNoLink &&
           !m_paused && m_queue.isEmpty() && !m_balance.isControlSmsPending() &&
           m_ctrl.ctrlState() == GSMModemCtrl::Working && m_ctrl.isQueueEmpty() &&
           m_ctrl.callsInProgress().isEmpty();
}

// Whether the idle state has something to do right now.
bool PROV_Modem::canStartWork() const
{
    if (!m_port.isOpen())
        return false;
    if (m_ctrl.ctrlState() == GSMModemCtrl::NeedsInit)
        return true;
    // A modem that answers and is registered again ends a link failure at once.
    if (m_errorState == StatusNoLink && m_ctrl.modemResponded() == 1 &&
        m_ctrl.gsmStatus() == GSMModemCtrl::GsmRegistered)
        return true;
    return m_ctrl.isQueueEmpty() && !m_paused && !m_queue.isEmpty() && m_ctrl.isReady();
}

void PROV_Modem::stateOpenPort()
{
    // Also reached by a start() while a request is in flight: the reset
    // controller will never answer it, and a batch left behind would swallow
    // the next message taken from the queue.
    requeueInFlight(QStringLiteral("порт модема открывается заново во время отправки SMS"));
    if (m_port.isOpen())
        closeSerial();
    openSerial();
    m_ctrl.reset();
    m_ctrl.setPinCode(m_settings.pinCode);
    m_ctrl.setFlashSms(m_settings.flashSms);
    m_ctrl.setDeliveryReports(m_reportsWanted);
    m_ctrl.setCommandGapMs(m_settings.commandGapMs);
    m_balance.forgetControlSms();
    m_providerState = StateIdle;
}

void PROV_Modem::stateIdle()
{
    if (!m_port.isOpen()) {
        // Nothing answers on a closed port; ticking the controller would only
        // turn its silence rule into a log line a minute. Retry the port
        // instead, by its configured name: a link such as /dev/serial/by-id/…
        // then leads to whatever device now stands behind it.
        m_errorState = StatusNoLink;
        updateHealth();
        if (GsmClock::secondsSince(m_port.lastOpenAttemptMs()) >= m_timings.portRetryS)
            m_providerState = StateOpenPort;
        return;
    }
    if (portNameLeadsElsewhere()) {
        requeueInFlight(QStringLiteral("устройство модема пропало во время отправки SMS"));
        updateHealth();
        return;
    }
    if (!tickController())
        return;
    updateHealth();
    // A working modem ends a link failure, and a failed balance request once
    // the station has had a status report (5 s) to see it: the next USSD is an
    // hour away. A refused SMS stays reported until a request succeeds.
    if (m_ctrl.modemResponded() == 1 && m_ctrl.gsmStatus() == GSMModemCtrl::GsmRegistered) {
        if (m_errorState == StatusNoLink ||
            (m_errorState == StatusGatewayError &&
             m_balance.failureShownFor(m_timings.balanceErrorShownMs)))
            m_errorState = StatusOk;
    }
    if (!m_ctrl.isQueueEmpty())
        return;
    // No result came for the control SMS: a modem restart or a lost network
    // dropped it.
    if (m_balance.isControlSmsPending())
        m_balance.controlSmsDropped(m_settings, m_timings.retryPauseS);
    // Nothing is tried that could only fail for want of network, SIM or an
    // answering modem: such a failure would tell nothing new and count
    // against the messages. They wait in the queue for the modem to be ready.
    if (!m_ctrl.isReady()) {
        m_conditionFailureForgiven = false;
        return;
    }
    if (m_paused) {
        if (GsmClock::secondsSince(m_lastSmsMs) > m_timings.retryPauseS)
            m_paused = 0;
        return;
    }
    if (m_queue.isEmpty()) {
        if (parameter(ParamBalanceCheck).toBool() &&
            m_balance.isRequestDue(m_settings, m_timings.balanceIntervalS)) {
            m_requestType = RequestBalance;
            m_providerState = StateSendRequest;
        }
        m_balance.maybeQueueControlSms(m_ctrl, m_settings);
        return;
    }
    startNextRequest();
}

// Where the configured name leads is looked at (one stat()) on every tick
// while the modem is silent (it may be gone), at every re-initialisation (a
// rung of the healing ladder, a restart of the modem, a new start) and with
// every registration check: a link such as /dev/serial/by-id/... pointed at
// another modem is followed even while the old one still answers.
bool PROV_Modem::portNameLeadsElsewhere()
{
    const qint64 regCheck = m_ctrl.lastRegCheckMs();
    if (!m_ctrl.isSilent() && m_ctrl.ctrlState() != GSMModemCtrl::NeedsInit &&
        regCheck == m_lastNameCheckMs)
        return false;
    m_lastNameCheckMs = regCheck;
    return m_port.closeIfDeviceChanged();
}

void PROV_Modem::startNextRequest()
{
    const bool batchSend = parameter(ParamBatchSend).toBool();
    const int batchSize = qMax(1, parameter(ParamBatchSize).toInt());
    m_queue.fillBatch(batchSend, batchSize);
    m_requestType = RequestSms;
    m_providerState = StateSendRequest;
}

void PROV_Modem::stateSendRequest()
{
    if (m_requestType == RequestSms && m_queue.batchCount() > 0) {
        const SMSMessage &msg = m_queue.batch().first();
        m_reports.sendStarted();
        m_ctrl.queueSms(SmsText::messageText(msg).toUtf8(),
                        ModemFormat::smsNumber(SmsText::phoneText(msg)).toLatin1());
        m_lastSmsMs = GsmClock::nowMs();
    } else if (m_requestType == RequestBalance) {
        m_ctrl.queueUssd(m_settings.balancePhone.toUtf8());
        m_balance.requestSent();
    } else {
        m_requestType = RequestNone;
        m_providerState = StateIdle;
        return;
    }
    m_providerState = StateWaitResult;
}

void PROV_Modem::stateWaitResult()
{
    if (!m_port.isOpen()) {
        requeueInFlight(QStringLiteral("COM порт модема закрыт во время отправки SMS"));
        m_providerState = StateIdle;
        return;
    }
    if (!tickController() || m_providerState != StateWaitResult)
        return;
    if (m_requestType == RequestBalance && m_balance.isAnswerOverdue(m_timings.balanceTimeoutS)) {
        m_providerState = StateIdle;
        m_requestType = RequestNone;
        qCWarning(lcModem).noquote()
            << QStringLiteral(
                   "[PROV_Modem::stateMachine()]: Истек таймаут ожидания сообщения о балансе") +
                   m_logOrigin;
    } else if (m_requestType == RequestSms) {
        // The controller drops its queue when it re-initialises the modem, and
        // then no result will ever come. While it still works on the SMS its
        // own time-outs end the exchange, so wait for them up to a hard limit.
        const qint64 waited = GsmClock::secondsSince(m_lastSmsMs);
        if (waited > m_timings.smsWaitLimitS) {
            m_ctrl.reset(); // a result arriving after this would be taken for another request
            failSmsWait(QStringLiteral("модем не завершил отправку SMS"));
        } else if (waited > m_timings.replyTimeoutS && !controllerSendsSms()) {
            failSmsWait(QStringLiteral("нет результата отправки SMS"));
        }
    }
}

bool PROV_Modem::tickController()
{
    try {
        m_ctrl.tick();
        return true;
    } catch (const std::exception &e) {
        onControllerError(QString::fromUtf8(e.what()));
        return false;
    }
}

void PROV_Modem::updateHealth()
{
    const ModemHealth::Condition now = ModemHealth::conditionOf(m_port.isOpen(), m_ctrl);
    if (now == ModemHealth::Ready)
        m_ioErrorLogged = false;
    m_health.update(now);
}

void PROV_Modem::onControllerError(const QString &what)
{
    // One rung of the healing ladder: logged once while the modem stays
    // silent, not once a minute.
    const QString text = QStringLiteral("Ошибка ввода вывода: %1").arg(what) + m_logOrigin;
    if (m_ioErrorLogged)
        qCDebug(lcModem).noquote() << text;
    else
        qCWarning(lcModem).noquote() << text;
    m_ioErrorLogged = true;
    requeueInFlight(QStringLiteral("модем не отвечает во время отправки SMS"));
    m_errorState = StatusNoLink;
    m_providerState = StateOpenPort;
}

void PROV_Modem::readSerialData()
{
    const QByteArray data = m_port.readAll();
    if (data.isEmpty())
        return;
    try {
        m_ctrl.onDataReceived(data);
    } catch (const std::exception &e) {
        // The controller runs its tick on answers right away, so its errors
        // surface here as well; they must not reach the host's event loop.
        onControllerError(QString::fromUtf8(e.what()));
    }
    scheduleStep();
}

void PROV_Modem::sendSerialData(QByteArray data)
{
    m_port.write(data);
}

void PROV_Modem::openSerial()
{
    m_port.open(m_settings, m_timings);
}

void PROV_Modem::closeSerial()
{
    m_port.close();
}

void PROV_Modem::reopenSerial()
{
    closeSerial();
    QTimer::singleShot(0, this, &PROV_Modem::openSerial);
}
