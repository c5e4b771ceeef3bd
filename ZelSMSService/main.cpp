#include "controller.h"
#include "servicelog.h"
#include "settingslocation.h"
#include "smsmessage.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A signal handler may only write to a descriptor; the event loop reads the
// other end and quits, so the controller is destroyed on the main thread.
int signalPipe[2] = {-1, -1};

void onTerminationSignal(int)
{
    const char c = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[0], &c, 1);
}

bool installTerminationHandlers()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return false;
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = onTerminationSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    return ::sigaction(SIGINT, &sa, nullptr) == 0 && ::sigaction(SIGTERM, &sa, nullptr) == 0;
}

void printUsage()
{
    std::fputs("Usage: ZelSMSService -exec\n"
               "  -exec   run the service in the foreground, log lines on standard error\n",
               stderr);
}

} // namespace

int main(int argc, char *argv[])
{
    SettingsLocation::applyFromEnvironment();
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2 ||
        (args.at(1) != QLatin1String("-exec") && args.at(1) != QLatin1String("-e"))) {
        printUsage();
        return 2;
    }

    ServiceLog::addSink(std::make_shared<ServiceLog::StderrSink>());
    qInstallMessageHandler(ServiceLog::messageHandler);
    SmsText::registerSmsMessageType();

    if (!installTerminationHandlers())
        qWarning().noquote() << "[main()]: cannot install SIGINT/SIGTERM handlers";
    QSocketNotifier notifier(signalPipe[1], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &app, [&app] {
        char c;
        [[maybe_unused]] const ssize_t n = ::read(signalPipe[1], &c, 1);
        app.quit();
    });

    int rc = 0;
    {
        Controller controller;
        QTimer::singleShot(0, &controller, SLOT(initialize()));
        rc = app.exec();
    }
    qInstallMessageHandler(nullptr);
    return rc;
}
