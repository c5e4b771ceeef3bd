#include "exceptionstableapp.h"

#include "logcategories.h"

#include <QProcess>
#include <QtDebug>
#include <exception>

namespace {
// Set by the first exception caught during one run of the event loop.
bool g_exitRequested = false;

ExceptionStableApp::Launcher &launcherSlot()
{
    static ExceptionStableApp::Launcher slot;
    return slot;
}

bool launchDetached(const QString &program, const QStringList &args)
{
    return QProcess::startDetached(program, args);
}
} // namespace

ExceptionStableApp::ExceptionStableApp(int &argc, char **argv) : QCoreApplication(argc, argv)
{
}

bool ExceptionStableApp::notify(QObject *receiver, QEvent *event)
{
    try {
        return QCoreApplication::notify(receiver, event);
    } catch (const ImmediateExitApplication &e) {
        qCWarning(lcService).noquote()
            << QStringLiteral("Управление приложением: ") + QString::fromUtf8(e.what());
        endLoop(0);
    } catch (const ForceRestartException &e) {
        qCWarning(lcService).noquote() << QStringLiteral("Запрошен рестарт приложения. Причина: ") +
                                              QString::fromUtf8(e.what());
        endLoop(-1);
    } catch (const std::exception &e) {
        qCCritical(lcService).noquote()
            << QStringLiteral("ERROR: Обнаружено исключение времени выполнения: ") +
                   QString::fromUtf8(e.what()) + QStringLiteral(". Попытка перезапуска...");
        endLoop(-10);
    } catch (...) {
        qFatal("UNKNOWN EXCEPTION OCCURED. Application will terminate. Consider contacting "
               "developpers to resolve this issue.");
    }
    return false;
}

// The loop goes on dispatching what is already pending after exit(); a
// second exception there must not replace the first one's code, or an
// ImmediateExitApplication right after a run-time error would cancel the
// restart the error asked for.
void ExceptionStableApp::endLoop(int code)
{
    if (g_exitRequested)
        return;
    g_exitRequested = true;
    exit(code);
}

bool ExceptionStableApp::isRestartCode(int code)
{
    return code >= -30 && code <= -1;
}

QStringList ExceptionStableApp::restartArguments(int code)
{
    return {QStringLiteral("--restart"), QString::number(-code)};
}

int ExceptionStableApp::execWithRestart()
{
    g_exitRequested = false;
    const int code = exec();
    g_exitRequested = false;
    if (isRestartCode(code)) {
        // The absolute path, not arguments().first(): a program started
        // through PATH or from another directory has a bare or relative
        // argv[0], and the copy would not be found.
        const QString program = applicationFilePath();
        if (!launcher()(program, restartArguments(code)))
            qCCritical(lcService).noquote()
                << QStringLiteral("[ExceptionStableApp]: не удалось запустить "
                                  "копию для перезапуска: ") +
                       program;
    }
    return code;
}

void ExceptionStableApp::setLauncher(Launcher launcher)
{
    launcherSlot() = std::move(launcher);
}

ExceptionStableApp::Launcher ExceptionStableApp::launcher()
{
    return launcherSlot() ? launcherSlot() : Launcher(launchDetached);
}
