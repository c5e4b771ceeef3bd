#pragma once

#include <QElapsedTimer>
#include <QString>

// Writes lines to the system log (syslog(3): journald or rsyslog pick them
// up) under one ident, facility daemon. Our stand-in for the Windows event
// log: entry types map to priorities, the event id travels in the text only
// as the caller puts it there.
class SyslogWriter
{
public:
    enum class Priority
    {
        Debug,
        Information,
        Warning,
        Error,
        Critical
    };

    // The ident is made from the service name as identFor() says.
    explicit SyslogWriter(const QString &serviceName);
    ~SyslogWriter();

    void write(Priority priority, const QString &text);

    // LOG_DEBUG, LOG_INFO, LOG_WARNING, LOG_ERR, LOG_CRIT
    static int syslogPriority(Priority priority);

    // "ZEL SMS service" -> "zel-sms-service". Syslog daemons and journald
    // take the tag up to the first blank, so a name with spaces would lose
    // its ident ("journalctl -t" would find nothing); the unit's base name
    // also matches "journalctl -u".
    static QString identFor(const QString &serviceName);

private:
    bool daemonListening();

    QByteArray m_ident; // openlog() keeps the pointer, so the bytes live here
    QElapsedTimer m_sinceCheck;
    bool m_listening = false;
};
