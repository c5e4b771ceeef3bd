#pragma once

#include "servicelog.h"
#include "syslogwriter.h"

// Service log sink that writes every entry to syslog, ident made from the
// service name ("zel-sms-service", see SyslogWriter::identFor), facility
// daemon: debug -> LOG_DEBUG, information -> LOG_INFO, warning -> LOG_WARNING,
// critical and fatal -> LOG_CRIT, so "journalctl -p info" hides the debug
// lines. The text is the service log's line as it stands.
// Read it with "journalctl -t zel-sms-service" or in /var/log/syslog.
class SyslogSink : public ServiceLog::Sink
{
public:
    explicit SyslogSink(const QString &serviceName);
    void write(const ServiceLog::Entry &entry) override;

    static SyslogWriter::Priority priorityFor(QtMsgType level);

private:
    SyslogWriter m_writer;
};
