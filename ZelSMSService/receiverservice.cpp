#include "receiverservice.h"

#include "controller.h"
#include "exceptionstableapp.h"

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

void ReceiverService::start()
{
    m_controller = new Controller;
    QTimer::singleShot(0, m_controller, SLOT(initialize()));
}

void ReceiverService::stop()
{
    if (m_slowStop)
        QThread::msleep(1500);
    delete m_controller;
    m_controller = nullptr;
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
        qWarning().noquote() << QStringLiteral("[ReceiverService]: %1; запуск без защиты от "
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
}

int ReceiverService::executeApplication()
{
    return ExceptionStableApp::execWithRestart();
}
