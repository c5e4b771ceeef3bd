#include "prov_modem.h"

#include "at_commandsendsms.h"
#include "gsmclock.h"
#include "logtext.h"
#include "providersettingsgroup.h"
#include "serialportenum.h"

#include <QDebug>
#include <cstddef>
#include <exception>

namespace {

const char *const ProviderId = "ZEL_SMS_PROVIDER_MODEM";
const char *const RegKey = "GSMModem";
constexpr qint64 OneDayMs = 24LL * 3600 * 1000;

QVariantMap storedProviderSettings()
{
    return ProviderSettingsGroup(QLatin1String(RegKey)).values();
}

// Exactly the bytes the duplicate rule compares: phone and all text bytes,
// which lie side by side in the packed record.
QByteArray contentKey(const SMSMessage &msg)
{
    static_assert(offsetof(SMSMessage, text) == SMSMessage::PhoneSize, "phone and text adjacent");
    return QByteArray(msg.phone, SMSMessage::PhoneSize + SMSMessage::TextSize);
}

QVariantMap failure(int code, const QString &text)
{
    return QVariantMap{
        {ResultKey::Success, false}, {ResultKey::ErrorCode, code}, {ResultKey::ErrorText, text}};
}

} // namespace

PROV_Modem::PROV_Modem(QObject *parent)
    : QObject(parent), m_timer(new QTimer(this)), m_stepTimer(new QTimer(this))
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
    // Made once here rather than in readSettings(): every start() reads the
    // settings again, and a second connection would hand each chunk to the
    // controller twice.
    connect(&m_port, &QSerialPort::readyRead, this, &PROV_Modem::readSerialData);
    connect(&m_port, &QSerialPort::errorOccurred, this, &PROV_Modem::onPortError);
    resetState();
}

PROV_Modem::~PROV_Modem()
{
    m_timer->stop();
    m_stepTimer->stop();
    if (m_port.isOpen())
        m_port.close();
}

QVariant PROV_Modem::parameter(int id)
{
    switch (id) {
    case ParamProviderId:
        return QString::fromLatin1(ProviderId);
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
        return ModemFormat::statusWord(m_ctrl.modemResponded(), m_ctrl.gsmStatus(), m_ctrl.rssi());
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
    if (!m_ids.contains(spoolId))
        return false;
    const QByteArray key = m_ids.keyOf(spoolId);
    for (const SMSMessage &inFlight : qAsConst(m_batch))
        if (contentKey(inFlight) == key)
            return false;
    if (!m_ids.remove(spoolId))
        return true;
    for (int i = 0; i < m_smsQueue.size(); ++i)
        if (contentKey(m_smsQueue.at(i)) == key) {
            m_smsQueue.removeAt(i);
            m_waiting.remove(key);
            break;
        }
    return true;
}

void PROV_Modem::report(const SMSMessage &msg, int outcome, const QString &reason)
{
    m_ids.report(m_sink, contentKey(msg), outcome, reason);
}

int PROV_Modem::enqueue(const SMSMessage &msg, const quint64 *spoolId)
{
    const QString number = ModemFormat::smsNumber(SmsText::phoneText(msg));
    if (number.isEmpty()) {
        // Such a request can never be sent; queued, it would fail again and
        // again and its failures would end in dropping every other request.
        log(QtCriticalMsg,
            QStringLiteral("[PROV_Modem::enqueueSms()]: SMS не принято: неверный номер \"%1\"")
                .arg(LogText::escaped(SmsText::phoneText(msg))));
        if (spoolId && m_sink)
            m_sink->smsOutcome(*spoolId, OutcomeRejected,
                               QStringLiteral("неверный номер для модема"));
        return 0;
    }
    // Whether it joins an identical waiting message or is queued below, its
    // outcome is that message's.
    if (spoolId)
        m_ids.add(contentKey(msg), *spoolId);
    // The one being sent counts as waiting too: an identical request that
    // arrives meanwhile would otherwise go out a second time.
    QByteArray key = contentKey(msg);
    if (m_waiting.contains(key))
        return 0;
    // A record of the service's spool is bounded by the spool's pending limit,
    // and refusing it here would leave it handed over for ever; the bound is
    // for hosts that queue here without a spool.
    if (!spoolId && m_queueLimit.isFull(m_smsQueue.size() + m_batch.size())) {
        m_queueLimit.refuse(GsmClock::nowMs());
        return 0;
    }
    m_waiting.insert(std::move(key));
    m_smsQueue.append(msg);
    scheduleStep();
    return 0;
}

void PROV_Modem::forgetWaiting(const QList<SMSMessage> &done)
{
    for (const SMSMessage &msg : done)
        m_waiting.remove(contentKey(msg));
}

double PROV_Modem::balance(int *known)
{
    if (known)
        *known = m_balanceStatus;
    return m_balance;
}

int PROV_Modem::providerStatus()
{
    if (parameter(ParamBalanceCheck).toBool() && m_balanceStatus == 1 && m_balance < 1.0)
        return StatusLowBalance;
    return m_errorState;
}

void PROV_Modem::start()
{
    if (!readSettings()) {
        log(QtCriticalMsg, QStringLiteral("Ошибка инициализации провайдера SMS оповещений"));
        if (!m_settings.isComplete())
            log(QtCriticalMsg,
                QStringLiteral("[PROV_Modem::start()]: не задан COM-порт (ключ comPort группы %1)")
                    .arg(QLatin1String(RegKey)));
        for (const QString &error : qAsConst(m_settings.errors))
            log(QtCriticalMsg, QStringLiteral("[PROV_Modem::start()]: ") + error);
        return;
    }
    m_providerState = StateOpenPort;
    m_timer->start(m_timings.tickMs);
    log(QtDebugMsg, QStringLiteral("Запуск провайдера SMS оповещений"));
}

void PROV_Modem::stop()
{
    m_timer->stop();
    m_stepTimer->stop();
    resetState();
}

bool PROV_Modem::readSettings()
{
    m_settings = ModemSettings::fromStored(storedProviderSettings());
    for (const QString &problem : qAsConst(m_settings.problems))
        log(QtWarningMsg, QStringLiteral("[PROV_Modem::readSettings()]: ") + problem);
    return m_settings.isUsable();
}

void PROV_Modem::resetState()
{
    const qint64 dayAgo = GsmClock::nowMs() - OneDayMs;
    m_providerState = StateStopped;
    m_balance = 0.0;
    m_requestType = RequestNone;
    m_balanceStatus = 0;
    m_lastSmsMs = m_lastBalanceMs = m_lastCtrlSmsMs = dayAgo;
    m_paused = 0;
    m_failCount = 0;
    m_errorState = StatusOk;
    m_balanceFailedMs = 0;
    m_smsQueue.clear();
    m_batch.clear();
    m_waiting.clear();
    m_ids.clear();
    m_ctrlSmsPending = false;
    m_ctrl.reset();
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
        log(QtWarningMsg,
            QStringLiteral("[PROV_Modem::stateMachine()]: UNPREDICTED providerState"));
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
    return m_ctrl.isQueueEmpty() && !m_paused && !m_smsQueue.isEmpty();
}

void PROV_Modem::stateOpenPort()
{
    // Also reached by a start() while a request is in flight: the reset
    // controller will never answer it, and a batch left behind would swallow
    // the next message taken from the queue.
    requeueInFlight();
    if (m_port.isOpen())
        closeSerial();
    openSerial();
    m_ctrl.reset();
    m_ctrl.setPinCode(m_settings.pinCode);
    m_ctrl.setFlashSms(m_settings.flashSms);
    m_ctrl.setCommandGapMs(m_settings.commandGapMs);
    m_ctrlSmsPending = false;
    m_providerState = StateIdle;
}

void PROV_Modem::stateIdle()
{
    if (!m_port.isOpen()) {
        // Nothing answers on a closed port; ticking the controller would only
        // turn its silence rule into a log line a minute. Retry the port instead.
        m_errorState = StatusNoLink;
        if (secondsSince(m_lastOpenAttemptMs) >= m_timings.portRetryS)
            m_providerState = StateOpenPort;
        return;
    }
    if (!tickController())
        return;
    // A working modem ends a link failure, and a failed balance request once
    // the station has had a status report (5 s) to see it: the next USSD is an
    // hour away. A refused SMS stays reported until a request succeeds.
    if (m_ctrl.modemResponded() == 1 && m_ctrl.gsmStatus() == GSMModemCtrl::GsmRegistered) {
        if (m_errorState == StatusNoLink ||
            (m_errorState == StatusGatewayError && m_balanceFailedMs > 0 &&
             GsmClock::nowMs() - m_balanceFailedMs >= m_timings.balanceErrorShownMs))
            m_errorState = StatusOk;
    }
    if (!m_ctrl.isQueueEmpty())
        return;
    if (m_ctrlSmsPending)
        forgetDroppedControlSms();
    if (m_paused) {
        if (m_failCount > parameter(ParamMaxFailures).toInt()) {
            const int dropped = m_smsQueue.size() + m_batch.size();
            m_failCount = 0;
            const QString why = QStringLiteral("превышено число ошибок отправки");
            for (const SMSMessage &msg : qAsConst(m_batch))
                report(msg, OutcomeDropped, why);
            for (const SMSMessage &msg : qAsConst(m_smsQueue))
                report(msg, OutcomeDropped, why);
            m_batch.clear();
            m_smsQueue.clear();
            m_waiting.clear();
            log(QtCriticalMsg, QStringLiteral("[PROV_Modem::stateMachine()]: превышено число "
                                              "ошибок отправки, удалено SMS из очереди: %1")
                                   .arg(dropped));
        }
        if (secondsSince(m_lastSmsMs) > m_timings.retryPauseS)
            m_paused = 0;
        return;
    }
    if (m_smsQueue.isEmpty()) {
        if (!m_settings.balancePhone.isEmpty() && parameter(ParamBalanceCheck).toBool() &&
            secondsSince(m_lastBalanceMs) > m_timings.balanceIntervalS) {
            m_requestType = RequestBalance;
            m_providerState = StateSendRequest;
        }
        maybeQueueControlSms();
        return;
    }
    startNextRequest();
}

void PROV_Modem::maybeQueueControlSms()
{
    if (!m_settings.sendCtrlSms || m_settings.ctrlSmsNum.isEmpty() || m_balanceStatus != 1 ||
        m_ctrlSmsPending)
        return;
    if (secondsSince(m_lastCtrlSmsMs) <= qint64(m_settings.ctrlSmsIntervalHours) * 3600)
        return;
    m_lastCtrlSmsMs = GsmClock::nowMs();
    const QString number = ModemFormat::smsNumber(m_settings.ctrlSmsNum);
    if (number.isEmpty()) {
        log(QtWarningMsg,
            QStringLiteral("[PROV_Modem::stateMachine()]: неверный номер контрольного SMS \"%1\"")
                .arg(m_settings.ctrlSmsNum));
        return;
    }
    m_ctrl.queueSms(ModemFormat::controlSmsText(m_balance).toUtf8(), number.toLatin1());
    m_ctrlSmsPending = true;
}

// Reached with the controller's queue empty and no result for the control SMS:
// a modem restart or a lost network dropped it. Left pending, it would block
// every later control SMS; it is tried again after the usual retry pause.
void PROV_Modem::forgetDroppedControlSms()
{
    m_ctrlSmsPending = false;
    const qint64 periodMs = qint64(m_settings.ctrlSmsIntervalHours) * 3600 * 1000;
    m_lastCtrlSmsMs = GsmClock::nowMs() - periodMs + qint64(m_timings.retryPauseS) * 1000;
    log(QtWarningMsg, QStringLiteral("[PROV_Modem::stateMachine()]: контрольное SMS не "
                                     "отправлено (очередь модема сброшена), повтор через %1 с")
                          .arg(m_timings.retryPauseS));
}

void PROV_Modem::startNextRequest()
{
    const bool batchSend = parameter(ParamBatchSend).toBool();
    const int batchSize = qMax(1, parameter(ParamBatchSize).toInt());
    do {
        m_batch.append(m_smsQueue.takeFirst());
    } while (batchSend && m_batch.size() < batchSize && !m_smsQueue.isEmpty());
    m_requestType = RequestSms;
    m_providerState = StateSendRequest;
}

void PROV_Modem::stateSendRequest()
{
    if (m_requestType == RequestSms && !m_batch.isEmpty()) {
        const SMSMessage &msg = m_batch.first();
        m_ctrl.queueSms(SmsText::messageText(msg).toUtf8(),
                        ModemFormat::smsNumber(SmsText::phoneText(msg)).toLatin1());
        m_lastSmsMs = GsmClock::nowMs();
    } else if (m_requestType == RequestBalance) {
        m_ctrl.queueUssd(m_settings.balancePhone.toUtf8());
        m_lastBalanceMs = GsmClock::nowMs();
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
        requeueInFlight();
        m_providerState = StateIdle;
        return;
    }
    if (!tickController() || m_providerState != StateWaitResult)
        return;
    if (m_requestType == RequestBalance &&
        secondsSince(m_lastBalanceMs) > m_timings.balanceTimeoutS) {
        m_providerState = StateIdle;
        m_requestType = RequestNone;
        log(QtWarningMsg,
            QStringLiteral(
                "[PROV_Modem::stateMachine()]: Истек таймаут ожидания сообщения о балансе"));
    } else if (m_requestType == RequestSms) {
        // The controller drops its queue when it re-initialises the modem, and
        // then no result will ever come. While it still works on the SMS its
        // own time-outs end the exchange, so wait for them up to a hard limit.
        const qint64 waited = secondsSince(m_lastSmsMs);
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
    log(QtWarningMsg,
        QStringLiteral(
            "[PROV_Modem::stateMachine()]: Истек таймаут ожидания результата отправки SMS"));
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

void PROV_Modem::onControllerError(const QString &what)
{
    log(QtWarningMsg, QStringLiteral("Ошибка ввода вывода: %1").arg(what));
    requeueInFlight();
    m_errorState = StatusNoLink;
    m_providerState = StateOpenPort;
}

void PROV_Modem::requeueInFlight()
{
    // The modem went away under the request; that is no fault of the message,
    // so it goes back to the head of the queue without counting a failure.
    if (m_requestType == RequestSms) {
        while (!m_batch.isEmpty())
            m_smsQueue.prepend(m_batch.takeLast());
    }
    m_requestType = RequestNone;
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

void PROV_Modem::applySmsResult(const QVariantMap &results)
{
    if (!results.value(ResultKey::Success).toBool()) {
        log(QtWarningMsg,
            QStringLiteral("Ошибка отправки SMS, код %1 (%2)")
                .arg(results.value(ResultKey::ErrorCode).toString(),
                     LogText::escaped(results.value(ResultKey::ErrorText).toString())));
        for (const SMSMessage &msg : qAsConst(m_batch))
            report(msg, OutcomeRetrying,
                   QStringLiteral("код %1 (%2)")
                       .arg(results.value(ResultKey::ErrorCode).toString(),
                            results.value(ResultKey::ErrorText).toString()));
        m_smsQueue.append(m_batch);
        ++m_failCount;
        m_paused = 1;
        m_errorState = StatusGatewayError;
        m_balanceFailedMs = 0; // this one stays until a request succeeds
    } else {
        if (m_batch.size() == 1)
            log(QtDebugMsg, QStringLiteral("Отправлено SMS на номер %1")
                                .arg(ModemFormat::smsNumber(SmsText::phoneText(m_batch.first()))));
        else
            log(QtDebugMsg, QStringLiteral("Отправлено %1 SMS").arg(m_batch.size()));
        m_errorState = StatusOk;
        m_paused = 0;
        // Only failures in a row lead to the drop rule; a failure weeks ago
        // must not count towards dropping today's alarms.
        m_failCount = 0;
        for (const SMSMessage &msg : qAsConst(m_batch))
            report(msg, OutcomeDelivered, QString());
        forgetWaiting(m_batch);
    }
    m_batch.clear();
}

void PROV_Modem::applyBalanceResult(const QVariantMap &results)
{
    if (!results.value(ResultKey::Success).toBool()) {
        log(QtWarningMsg,
            QStringLiteral("Ошибка запроса баланса, код %1 (%2)")
                .arg(results.value(ResultKey::ErrorCode).toString(),
                     LogText::escaped(results.value(ResultKey::ErrorText).toString())));
        m_errorState = StatusGatewayError;
        m_balanceFailedMs = GsmClock::nowMs();
        return;
    }
    m_balanceStatus = 1;
    m_errorState = StatusOk;
    m_balance = results.value(ResultKey::Balance).toDouble();
}

void PROV_Modem::applyStrayResult(bool fromSms, const QVariantMap &results)
{
    const bool ok = results.value(ResultKey::Success).toBool();
    if (fromSms && m_ctrlSmsPending) {
        m_ctrlSmsPending = false;
        if (ok)
            log(QtDebugMsg, QStringLiteral("Отправлено контрольное SMS на номер %1")
                                .arg(ModemFormat::smsNumber(m_settings.ctrlSmsNum)));
        else
            log(QtWarningMsg,
                QStringLiteral("Ошибка отправки контрольного SMS, код %1 (%2)")
                    .arg(results.value(ResultKey::ErrorCode).toString(),
                         LogText::escaped(results.value(ResultKey::ErrorText).toString())));
    } else if (fromSms) {
        log(QtWarningMsg,
            QStringLiteral("[PROV_Modem::commitModemResult()]: результат SMS после истечения "
                           "таймаута ожидания, успех: %1")
                .arg(ok ? 1 : 0));
    } else if (ok && results.contains(ResultKey::Balance)) {
        // A late or unrequested operator answer still tells the true balance.
        m_balanceStatus = 1;
        m_balance = results.value(ResultKey::Balance).toDouble();
    }
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
    if (m_port.isOpen())
        m_port.write(data);
}

void PROV_Modem::openSerial()
{
    m_lastOpenAttemptMs = GsmClock::nowMs();
    QString name = m_settings.comPort;
    if (!m_settings.comPortHwid.isEmpty()) {
        QStringList names, ids;
        const bool enumerated = enumerateSerialPorts(names, ids);
        name = ModemFormat::resolvePortName(m_settings.comPort, m_settings.comPortHwid, enumerated,
                                            names, ids);
    }
    m_port.setPortName(name);
    if (!m_port.open(QIODevice::ReadWrite)) {
        reportOpenFailure(name, m_port.errorString());
        return;
    }
    configurePort();
    if (m_openFailures > 0)
        log(QtDebugMsg,
            QStringLiteral(
                "[PROV_Modem::openSerial()]: COM порт открыт после неудачных попыток: %1")
                .arg(m_openFailures));
    m_openFailures = 0;
    m_lastOpenFailure.clear();
    log(QtDebugMsg, QStringLiteral("COM порт %1 открыт").arg(name));
}

void PROV_Modem::configurePort()
{
    QStringList failed;
    if (!m_port.setBaudRate(m_settings.baudRate))
        failed << QStringLiteral("скорость %1").arg(m_settings.baudRate);
    if (!m_port.setParity(m_settings.parity()))
        failed << QStringLiteral("четность %1").arg(m_settings.parityIndex);
    if (!m_port.setDataBits(m_settings.bits()))
        failed << QStringLiteral("размер байта %1").arg(m_settings.dataBits);
    if (!m_port.setStopBits(m_settings.stopBits()))
        failed << QStringLiteral("стоп-биты %1").arg(m_settings.stopBitsIndex);
    if (!m_port.setFlowControl(m_settings.flow()))
        failed << QStringLiteral("контроль потока %1").arg(m_settings.flowControl);
    if (!failed.isEmpty())
        log(QtWarningMsg,
            QStringLiteral("[PROV_Modem::openSerial()]: порт %1 не принял настройки: %2 (%3)")
                .arg(m_port.portName(), failed.join(QStringLiteral(", ")), m_port.errorString()));
}

void PROV_Modem::reportOpenFailure(const QString &name, const QString &error)
{
    ++m_openFailures;
    const QString reason = name + QStringLiteral(": ") + error;
    const qint64 now = GsmClock::nowMs();
    if (reason == m_lastOpenFailure &&
        qAbs(now - m_lastOpenLogMs) < qint64(m_timings.portLogRepeatS) * 1000)
        return;
    m_lastOpenFailure = reason;
    m_lastOpenLogMs = now;
    log(QtCriticalMsg, QStringLiteral("Ошибка открытия COM порта"));
    log(QtCriticalMsg,
        QStringLiteral("[PROV_Modem::openSerial()]: %1, попыток: %2, следующая через %3 с")
            .arg(reason)
            .arg(m_openFailures)
            .arg(m_timings.portRetryS));
}

void PROV_Modem::closeSerial()
{
    if (!m_port.isOpen())
        return;
    m_port.close();
    log(QtDebugMsg, QStringLiteral("COM порт закрыт"));
}

void PROV_Modem::reopenSerial()
{
    closeSerial();
    QTimer::singleShot(0, this, &PROV_Modem::openSerial);
}

void PROV_Modem::onPortError(QSerialPort::SerialPortError error)
{
    // A USB modem pulled out (or a vanished pseudo-terminal) leaves the port
    // open but dead; closing it lets the idle state retry it once a minute.
    if (error != QSerialPort::ResourceError || !m_port.isOpen())
        return;
    log(QtWarningMsg, QStringLiteral("[PROV_Modem::onPortError()]: COM порт %1 недоступен: %2")
                          .arg(m_port.portName(), m_port.errorString()));
    m_lastOpenAttemptMs = GsmClock::nowMs();
    QTimer::singleShot(0, this, &PROV_Modem::closeSerial);
}

qint64 PROV_Modem::secondsSince(qint64 ms) const
{
    return qAbs(GsmClock::nowMs() - ms) / 1000;
}

void PROV_Modem::log(QtMsgType type, const QString &text) const
{
    switch (type) {
    case QtDebugMsg:
    case QtInfoMsg:
        qDebug().noquote() << text;
        break;
    case QtWarningMsg:
        qWarning().noquote() << text;
        break;
    default:
        qCritical().noquote() << text;
        break;
    }
}
