#include "prov_modem.h"

#include "at_commandsendsms.h"
#include "gsmclock.h"
#include "logcategories.h"
#include "ownmetadata.h"
#include "providersettingsgroup.h"
#include "servicesettings.h"

#include <QDir>
#include <QFile>
#include <exception>
#include <unistd.h>

namespace {

constexpr qint64 OneDayMs = 24LL * 3600 * 1000;

// Kept as the file name: letters, digits, '_' and '-'; every other byte of
// the UTF-8 text as %XX. '%' is escaped itself, so two groups never meet in
// one name, and no name can start with '.' or hold a '/'.
QString fileNameSafe(const QString &text)
{
    QString safe;
    for (const char c : text.toUtf8()) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '_' || c == '-';
        if (keep)
            safe += QLatin1Char(c);
        else
            safe += QStringLiteral("%%1").arg(uchar(c), 2, 16, QLatin1Char('0')).toUpper();
    }
    return safe;
}

QVariantMap failure(int code, const QString &text)
{
    return QVariantMap{
        {ResultKey::Success, false}, {ResultKey::ErrorCode, code}, {ResultKey::ErrorText, text}};
}

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

QVariant PROV_Modem::parameter(int id)
{
    switch (id) {
    case ParamProviderId:
        return ownMetaData().id;
    case ParamMaxFailures:
        return 5;
    case ParamRetryPause:
        return m_timings.retryPauseS;
    case ParamBatchSend:
        return false;
    case ParamBatchSize:
        return 1;
    case ParamBalanceCheck:
        return true;
    case ParamBalanceInterval:
        return m_timings.balanceIntervalS;
    case ParamTextCodec:
        return QStringLiteral("UTF-8");
    case ParamAuxInterval:
        return m_timings.balanceTimeoutS;
    case ParamReplyTimeout:
        return m_timings.replyTimeoutS;
    case ParamDeviceStatus:
        return ModemHealth::deviceWord(m_port.isOpen(), m_ctrl);
    case ParamDevicePath:
        // Where the port settings lead now, found as the port will be opened.
        return ModemFormat::deviceFile(ModemPort::nameToOpen(m_settings));
    default:
        return QVariant();
    }
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

QObject *PROV_Modem::create(const QString &settingsGroup)
{
    auto *modem = new PROV_Modem;
    modem->setSettingsGroup(settingsGroup);
    return modem;
}

void PROV_Modem::setSettingsGroup(const QString &group)
{
    m_settingsGroup = group.isEmpty() ? ownMetaData().registryGroup : group;
    m_logOrigin = m_settingsGroup == ownMetaData().registryGroup
                      ? QString()
                      : QStringLiteral(" [%1]").arg(m_settingsGroup);
    m_port.setLogOrigin(m_logOrigin);
    m_queue.setLogOrigin(m_logOrigin);
    m_reports.setLogOrigin(m_logOrigin);
    m_balance.setLogOrigin(m_logOrigin);
    m_health.setLogOrigin(m_logOrigin);
}

QString PROV_Modem::pinStatePath(const QString &settingsGroup)
{
    // The same folder as the service's spool (ZELSMS_STATE_DIR, else the
    // system's or the user's state folder), which outlives a restart.
    QString dir = QFile::decodeName(qgetenv("ZELSMS_STATE_DIR"));
    if (dir.isEmpty() && ::geteuid() == 0)
        dir = QStringLiteral("/var/lib/zelsms");
    if (dir.isEmpty()) {
        QString base = QFile::decodeName(qgetenv("XDG_STATE_HOME"));
        if (base.isEmpty())
            base = QDir::homePath() + QStringLiteral("/.local/state");
        dir = base + QStringLiteral("/zelsms");
    }
    if (settingsGroup.isEmpty() || settingsGroup == ownMetaData().registryGroup)
        return dir + QStringLiteral("/modem-sim-pin.state");
    return dir + QStringLiteral("/modem-sim-pin-") + fileNameSafe(settingsGroup) +
           QStringLiteral(".state");
}

bool PROV_Modem::readSettings()
{
    m_settings =
        ModemSettings::fromStored(ProviderSettingsGroup(m_settingsGroup).values(), m_settingsGroup);
    for (const QString &problem : qAsConst(m_settings.problems))
        qCWarning(lcModem).noquote()
            << QStringLiteral("[PROV_Modem::readSettings()]: ") + problem + m_logOrigin;
    // A service-wide setting: whoever sends through a modem asks for reports.
    m_reportsWanted = ServiceSettings::read(*ServiceSettings::openSystem()).deliveryReports;
    return m_settings.isUsable();
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
