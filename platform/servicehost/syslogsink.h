#pragma once

#include "servicelog.h"
#include "syslogwriter.h"

// Service log sink that writes every entry to syslog, ident the service
// name, facility daemon: information -> LOG_INFO, warning -> LOG_WARNING,
// error -> LOG_ERR. Read it with "journalctl -t 'ZEL SMS service'" or in
// /var/log/syslog.
class SyslogSink : public ServiceLog::Sink
{
public:
    explicit SyslogSink(const QString &ident);
    void write(const ServiceLog::Entry &entry) override;

    static SyslogWriter::Priority priorityFor(ServiceLog::EntryType type);

private:
    SyslogWriter m_writer;
};
