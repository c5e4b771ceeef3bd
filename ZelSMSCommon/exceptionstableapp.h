#pragma once

#include <QCoreApplication>
#include <QStringList>
#include <functional>
#include <stdexcept>

// Thrown from an event handler to ask for a restart of the service (the event
// loop ends with -1 and a fresh copy is started).
class ForceRestartException : public std::runtime_error
{
public:
    explicit ForceRestartException(const std::string &reason) : std::runtime_error(reason) {}
};

// Thrown from an event handler to end the program in order (event loop ends
// with 0, nothing is restarted).
class ImmediateExitApplication : public std::runtime_error
{
public:
    explicit ImmediateExitApplication(const std::string &reason) : std::runtime_error(reason) {}
};

// The service's application object. An exception escaping an event handler
// does not take the process down: notify() logs it and ends the event loop
// with a code saying why, and execWithRestart() then starts a detached copy
// of the program with "--restart <code>", which asks the service manager for
// a fresh instance.
class ExceptionStableApp : public QCoreApplication
{
    Q_OBJECT
public:
    // Starts program with args detached from this process; true when started.
    using Launcher = std::function<bool(const QString &program, const QStringList &args)>;

    ExceptionStableApp(int &argc, char **argv);

    bool notify(QObject *receiver, QEvent *event) override;

    // Runs the event loop; for a code in -30..-1 launches the restart copy.
    // Returns the loop's code.
    static int execWithRestart();

    // The codes that ask for a restart, and the copy's arguments for one.
    static bool isRestartCode(int code);
    static QStringList restartArguments(int code);

    // Tests replace the launcher to see what would be started; null restores
    // the real one (QProcess::startDetached: own session, so the copy
    // outlives this process and its process group).
    static void setLauncher(Launcher launcher);
    static Launcher launcher();

private:
    static void endLoop(int code);
};
