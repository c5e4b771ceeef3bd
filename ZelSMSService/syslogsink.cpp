#include "syslogsink.h"

SyslogSink::SyslogSink(const QString &ident) : m_writer(ident)
{
}

SyslogWriter::Priority SyslogSink::priorityFor(ServiceLog::EntryType type)
{
    switch (type) {
    case ServiceLog::EntryType::Warning:
        return SyslogWriter::Priority::Warning;
    case ServiceLog::EntryType::Error:
        return SyslogWriter::Priority::Error;
    case ServiceLog::EntryType::Information:
        break;
    }
    return SyslogWriter::Priority::Information;
}

void SyslogSink::write(const ServiceLog::Entry &entry)
{
    m_writer.write(priorityFor(entry.type), entry.text);
}
