#include "smstoolspeer.h"

#include <QDir>
#include <QFile>
#include <QTextStream>

bool SmstoolsPeer::start(const QStringList &devices)
{
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temporary folder");
        return false;
    }
    const QString d = m_dir.path();
    for (const char *sub : {"outgoing", "checked", "failed", "incoming", "sent"})
        QDir(d).mkpath(QString::fromLatin1(sub));
    QFile conf(d + QStringLiteral("/smsd.conf"));
    if (!conf.open(QIODevice::WriteOnly)) {
        m_error = conf.errorString();
        return false;
    }
    // The packaged defaults but for the folders: a send-and-receive relay, as
    // the service is.
    QStringList names;
    for (int i = 1; i <= devices.size(); ++i)
        names << QStringLiteral("GSM%1").arg(i);
    QTextStream out(&conf);
    out << "devices = " << names.join(QLatin1Char(',')) << "\n"
        << "outgoing = " << d << "/outgoing\n"
        << "checked = " << d << "/checked\n"
        << "failed = " << d << "/failed\n"
        << "incoming = " << d << "/incoming\n"
        << "sent = " << d << "/sent\n"
        << "logfile = " << d << "/smsd.log\n"
        << "infofile = " << d << "/smsd.working\n"
        << "pidfile = " << d << "/smsd.pid\n"
        << "receive_before_send = no\n"
        << "autosplit = 3\n";
    for (int i = 0; i < devices.size(); ++i)
        out << "\n[" << names[i] << "]\n"
            << "device = " << devices[i] << "\n"
            << "incoming = yes\n"
            << "baudrate = 115200\n";
    out.flush();
    conf.close();
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.setStandardOutputFile(d + QStringLiteral("/smsd.out"));
    m_process.start(m_smsd, {QStringLiteral("-t"), QStringLiteral("-c") + conf.fileName()});
    if (!m_process.waitForStarted(5000)) {
        m_error = m_process.errorString();
        return false;
    }
    return true;
}

void SmstoolsPeer::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(10000)) {
        m_process.kill();
        m_process.waitForFinished(3000);
    }
}

QString SmstoolsPeer::version()
{
    QProcess p;
    p.start(m_smsd, {QStringLiteral("-V")});
    if (!p.waitForFinished(5000))
        return QStringLiteral("smstools");
    // "Version 3.1.21, Copyright ..."
    const QString first = QString::fromLocal8Bit(p.readAllStandardOutput()).section('\n', 0, 0);
    const QString version = first.section(',', 0, 0).section(' ', 1, 1);
    return QStringLiteral("smstools %1").arg(version).trimmed();
}

QString SmstoolsPeer::log() const
{
    QFile f(m_dir.path() + QStringLiteral("/smsd.log"));
    return f.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(f.readAll().right(4000))
                                       : QString();
}
