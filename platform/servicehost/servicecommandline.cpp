#include "servicecommandline.h"

ServiceCommandLine ServiceCommandLine::parse(const QStringList &args)
{
    ServiceCommandLine cl;
    if (args.isEmpty())
        return cl;
    const QString a = args.first();
    if (a == QLatin1String("-i") || a == QLatin1String("-install")) {
        cl.m_command = Install;
        cl.m_account = args.value(1);
        cl.m_password = args.value(2);
    } else if (a == QLatin1String("-u") || a == QLatin1String("-uninstall")) {
        cl.m_command = Uninstall;
    } else if (a == QLatin1String("-v") || a == QLatin1String("-version") ||
               a == QLatin1String("--version")) {
        cl.m_command = Version;
    } else if (a == QLatin1String("-e") || a == QLatin1String("-exec")) {
        cl.m_command = Exec;
    } else if (a == QLatin1String("-t") || a == QLatin1String("-terminate")) {
        cl.m_command = Terminate;
    } else if (a == QLatin1String("-p") || a == QLatin1String("-pause")) {
        cl.m_command = Pause;
    } else if (a == QLatin1String("-r") || a == QLatin1String("-resume")) {
        cl.m_command = Resume;
    } else if (a == QLatin1String("-c") || a == QLatin1String("-command")) {
        cl.m_command = UserCommand;
        cl.m_rawCode = args.value(1);
        cl.m_code = cl.m_rawCode.trimmed().toInt(&cl.m_codeValid);
    } else if (a == QLatin1String("-h") || a == QLatin1String("-help") ||
               a == QLatin1String("--help")) {
        // A person typing the usual GNU spelling never means "start the
        // service", which is what any other argument does.
        cl.m_command = Help;
    } else if (a == QLatin1String("--restart")) {
        cl.m_restart = true;
        cl.m_restartCode = args.value(1).toInt();
    }
    return cl;
}

QString ServiceCommandLine::alreadyInstalledText(const QString &name)
{
    return QStringLiteral("The service %1 is already installed\n").arg(name);
}

QString ServiceCommandLine::notInstalledText(const QString &name)
{
    return QStringLiteral("The service %1 is not installed\n").arg(name);
}

QString ServiceCommandLine::installFailedText(const QString &name)
{
    return QStringLiteral("The service %1 could not be installed\n").arg(name);
}

QString ServiceCommandLine::installedText(const QString &name, const QString &programPath)
{
    return QStringLiteral("The service %1 has been installed under: %2\n").arg(name, programPath);
}

QString ServiceCommandLine::providedText(const QString &name, const QString &unitPath)
{
    return QStringLiteral("The service %1 is already provided by the package (%2); "
                          "it has been enabled\n")
        .arg(name, unitPath);
}

QString ServiceCommandLine::uninstallFailedText(const QString &name)
{
    return QStringLiteral("The service %1 could not be uninstalled\n").arg(name);
}

QString ServiceCommandLine::uninstalledText(const QString &name)
{
    return QStringLiteral("The service %1 has been uninstalled.\n").arg(name);
}

QString ServiceCommandLine::versionText(const QString &name, const QString &programPath,
                                        bool installed, bool running)
{
    return QStringLiteral("The service\n\t%1\n\t%2\n\n").arg(name, programPath) +
           QStringLiteral("is %1").arg(installed ? QStringLiteral("installed")
                                                 : QStringLiteral("not installed")) +
           QStringLiteral(" and %1\n\n")
               .arg(running ? QStringLiteral("running") : QStringLiteral("not running"));
}

QString ServiceCommandLine::startFailedText(const QString &name)
{
    return QStringLiteral("The service %1 could not start\n").arg(name);
}

QString ServiceCommandLine::usageText(const QString &programPath)
{
    return QStringLiteral(
               "\n%1 -[i|u|e|s|v|h]\n"
               "\t-i(nstall) [account] [password]\t: Install the service, optionally using given "
               "account and password\n"
               "\t-u(ninstall)\t: Uninstall the service.\n"
               "\t-e(xec)\t\t: Run as a regular application. Useful for debugging.\n"
               "\t-t(erminate)\t: Stop the service.\n"
               "\t-c(ommand) num\t: Send command code num to the service.\n"
               "\t-v(ersion)\t: Print version and status information.\n"
               "\t-h(elp)   \t: Show this help\n"
               "\tNo arguments\t: Start the service.\n")
        .arg(programPath);
}

// Not one of the classic texts: "-c" with a missing or non-numeric code used
// to send command 0 silently; now it says what was wrong and sends nothing.
QString ServiceCommandLine::badCommandCodeText(const QString &raw)
{
    return QStringLiteral("Invalid command code: '%1' (expected an integer)\n").arg(raw);
}

QString ServiceCommandLine::execFailedMessage()
{
    return QStringLiteral("The service could not be executed.");
}

QString ServiceCommandLine::stopFailedMessage()
{
    return QStringLiteral("The service could not be stopped.");
}
