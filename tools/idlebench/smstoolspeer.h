#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// smstools' smsd as the peer relay of a comparison: configured in a
// temporary folder against one serial device (the emulated modem's
// pseudo-terminal), run in the foreground, stopped with its process tree.
class SmstoolsPeer
{
public:
    explicit SmstoolsPeer(const QString &smsd) : m_smsd(smsd) {}
    ~SmstoolsPeer() { stop(); }

    bool start(const QString &device);
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
