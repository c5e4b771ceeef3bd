#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// smstools' smsd as the peer relay of a comparison: configured in a
// temporary folder against serial devices (emulated modems' pseudo-terminals,
// all serving its one queue), run in the foreground, stopped with its
// process tree.
class SmstoolsPeer
{
public:
    explicit SmstoolsPeer(const QString &smsd) : m_smsd(smsd) {}
    ~SmstoolsPeer() { stop(); }

    bool start(const QString &device) { return start(QStringList{device}); }
    bool start(const QStringList &devices);
    // Where a message file is dropped to be sent.
    QString outgoing() const { return m_dir.path() + QStringLiteral("/outgoing"); }
    QString sent() const { return m_dir.path() + QStringLiteral("/sent"); }
    void stop();
    qint64 pid() const { return m_process.processId(); }
    QString version();
    QString error() const { return m_error; }
    QString log() const;

private:
    QString m_smsd;
    QTemporaryDir m_dir;
    QProcess m_process;
    QString m_error;
};
