#pragma once

#include <QString>
#include <QStringList>

// The service program's command line: what the first argument asks for, and
// the exact console texts each command prints. Pure, so every text and every
// spelling of an option is tested without a service manager.
class ServiceCommandLine
{
public:
    enum Command
    {
        Start, // no argument, "--restart", or anything unknown
        Install,
        Uninstall,
        Version,
        Exec,
        Terminate,
        Pause,
        Resume,
        UserCommand,
        Help
    };

    // args without the program name (argv[1..]).
    static ServiceCommandLine parse(const QStringList &args);

    Command command() const { return m_command; }
    QString account() const { return m_account; }
    QString password() const { return m_password; }
    // "-c num": the code, and whether num was a usable integer.
    int commandCode() const { return m_code; }
    bool commandCodeValid() const { return m_codeValid; }
    QString rawCommandCode() const { return m_rawCode; }
    // Started as the restart copy ("--restart" code).
    bool isRestart() const { return m_restart; }
    int restartCode() const { return m_restartCode; }

    static QString alreadyInstalledText(const QString &name);
    static QString notInstalledText(const QString &name);
    static QString installFailedText(const QString &name);
    static QString installedText(const QString &name, const QString &programPath);
    // "-install" where a package already provides the service.
    static QString providedText(const QString &name, const QString &unitPath);
    static QString uninstallFailedText(const QString &name);
    static QString uninstalledText(const QString &name);
    static QString versionText(const QString &name, const QString &programPath, bool installed,
                               bool running);
    static QString startFailedText(const QString &name);
    static QString usageText(const QString &programPath);
    static QString badCommandCodeText(const QString &raw);
    static QString execFailedMessage();
    static QString stopFailedMessage();

private:
    Command m_command = Start;
    QString m_account;
    QString m_password;
    int m_code = 0;
    bool m_codeValid = false;
    QString m_rawCode;
    bool m_restart = false;
    int m_restartCode = 0;
};
