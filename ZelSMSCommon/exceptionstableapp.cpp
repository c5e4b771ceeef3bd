#include "exceptionstableapp.h"

#include <QProcess>
#include <QtDebug>
#include <exception>

namespace {
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
        qWarning().noquote() << QStringLiteral("Управление приложением: ") +
                                    QString::fromUtf8(e.what());
        exit(0);
    } catch (const ForceRestartException &e) {
        qWarning().noquote() << QStringLiteral("Запрошен рестарт приложения. Причина: ") +
                                    QString::fromUtf8(e.what());
        exit(-1);
    } catch (const std::exception &e) {
        qCritical().noquote() << QStringLiteral(
                                     "ERROR: Обнаружено исключение времени выполнения: ") +
                                     QString::fromUtf8(e.what()) +
                                     QStringLiteral(". Попытка перезапуска...");
        exit(-10);
    } catch (...) {
        qFatal("UNKNOWN EXCEPTION OCCURED. Application will terminate. Consider contacting "
               "developpers to resolve this issue.");
    }
    return false;
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
    const int code = exec();
    if (isRestartCode(code)) {
        // The absolute path, not arguments().first(): a program started
        // through PATH or from another directory has a bare or relative
        // argv[0], and the copy would not be found.
        const QString program = applicationFilePath();
        if (!launcher()(program, restartArguments(code)))
            qCritical().noquote() << QStringLiteral("[ExceptionStableApp]: не удалось запустить "
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
