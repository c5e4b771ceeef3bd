#include "receiverservice.h"

#include "controller.h"
#include "exceptionstableapp.h"
#include "logcategories.h"
#include "servicestatusline.h"

#include <QDebug>
#include <QThread>
#include <QTimer>
#include <stdexcept>

ReceiverService::ReceiverService(int argc, char **argv) : ServiceBase(argc, argv, name())
{
    setServiceDescription(description());
    setStartupType(AutoStartup);
    setServiceFlags(NeedsStopOnShutdown);
    m_testHooks = qEnvironmentVariable("ZELSMS_TEST_HOOKS") == QLatin1String("1");
}

ReceiverService::~ReceiverService()
{
    delete m_controller;
}

QString ReceiverService::description()
{
    return QCoreApplication::translate("QObject", "Служба SMS ЗЕЛ, версия %1").arg(version());
}

namespace {
// A provider's state changes without a signal, so the status line is looked
// at in the wake-up of every status datagram to the station (every 5 s), and
// this often besides, for a link that sends none.
const int StateCheckMs = 60000;
} // namespace

void ReceiverService::start()
{
    m_controller = new Controller;
    QObject::connect(m_controller, &Controller::started, m_controller, [this] { reportState(); });
    if (notifiesSystemd()) {
        QObject::connect(m_controller, &Controller::statusSent, m_controller,
                         [this] { reportState(); });
        m_stateTimer = new QTimer(m_controller);
        QObject::connect(m_stateTimer, &QTimer::timeout, m_controller, [this] { reportState(); });
        m_stateTimer->start(StateCheckMs);
    }
    QTimer::singleShot(0, m_controller, SLOT(initialize()));
}

void ReceiverService::reportState()
{
    if (!m_controller || !m_controller->isControllerStarted())
        return;
    const ServiceStatusLine::Snapshot state = ServiceStatusLine::take(*m_controller);
    notifyStatus(ServiceStatusLine::format(state));
    // Not ready while the spool cannot be opened or the socket not bound:
    // systemd's start time-out then ends in a restart instead of a unit that
    // looks fine and takes nothing.
    if (!m_readyReported && ServiceStatusLine::working(state)) {
        m_readyReported = true;
        notifyReady();
    }
}

void ReceiverService::reload()
{
    if (!m_controller)
        return;
    m_readyReported = false;
    if (!m_controller->reload()) {
        // The running settings stay, and so does the service.
        m_readyReported = true;
        notifyReady();
        return;
    }
    reportState();
}

void ReceiverService::stop()
{
    if (m_slowStop)
        QThread::msleep(1500);
    delete m_controller; // the state timer with it
    m_controller = nullptr;
    m_stateTimer = nullptr;
}

void ReceiverService::pause()
{
}

void ReceiverService::resume()
{
}

void ReceiverService::processCommand(int code)
{
    if (!m_testHooks)
        return;
    m_slowStop = code == TestThrowSlowStopCommand;
    if (code == TestThrowCommand || code == TestThrowSlowStopCommand)
        throw std::runtime_error("test hook: command " + std::to_string(code));
}

bool ReceiverService::claimInstance(QString *refusal)
{
    // Two services on one spool would hand the same records out twice.
    if (m_lock.acquire(InstanceLock::defaultPath()))
        return true;
    if (!m_lock.heldElsewhere()) {
        // Nothing says another service runs; the spool will tell whether
        // the state directory can be used at all.
        qCWarning(lcService).noquote()
            << QStringLiteral("[ReceiverService]: %1; запуск без защиты от "
                              "второго экземпляра")
                   .arg(m_lock.error());
        return true;
    }
    *refusal = QStringLiteral("служба SMS с этим каталогом состояния уже работает (pid %1); "
                              "второй экземпляр не запускается")
                   .arg(m_lock.holderPid() > 0 ? QString::number(m_lock.holderPid())
                                               : QStringLiteral("неизвестен"));
    return false;
}

void ReceiverService::createApplication(int &argc, char **argv)
{
    new ExceptionStableApp(argc, argv);
    // The service needs none of Qt's own plug-ins (providers are loaded by
    // path). Without this a gateway's network manager loads Qt's bearer
    // plug-ins, which poll the network interfaces from a thread of their own
    // and open a D-Bus connection: wake-ups and memory for nothing.
    QCoreApplication::setLibraryPaths({});
}

int ReceiverService::executeApplication()
{
    return ExceptionStableApp::execWithRestart();
}
