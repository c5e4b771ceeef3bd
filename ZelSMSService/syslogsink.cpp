#include "syslogsink.h"

SyslogSink::SyslogSink(const QString &ident) : m_writer(ident)
{
}

SyslogWriter::Priority SyslogSink::priorityFor(QtMsgType level)
{
    switch (level) {
    case QtDebugMsg:
        return SyslogWriter::Priority::Debug;
    case QtWarningMsg:
        return SyslogWriter::Priority::Warning;
    case QtCriticalMsg:
    case QtFatalMsg:
        return SyslogWriter::Priority::Critical;
    case QtInfoMsg:
        break;
    }
    return SyslogWriter::Priority::Information;
}

void SyslogSink::write(const ServiceLog::Entry &entry)
{
    m_writer.write(priorityFor(entry.level), entry.text);
}
