#pragma once

#include <QString>

#include <string>

// Severities of the modem library's log. 0 and 1 reach the host's debug
// channel, 2 the warning channel, 3 and 4 the critical channel; anything above
// 4 is dropped.
enum LoggingSeverity : int
{
    LS_VERBOSE = 0,
    LS_INFO = 1,
    LS_WARNING = 2,
    LS_ERROR = 3,
    LS_CRITICAL = 4
};

// The library's one way out for diagnostics; text is UTF-8.
void G_LOG(LoggingSeverity severity, const std::string &text);

// While one lives, G_LOG's lines end with origin (" [GSMModem-2]"): the
// controller of one modem among several names itself for the lines its work
// writes, so the two modems' lines can be told apart. Scopes nest.
class GsmLogOrigin
{
public:
    explicit GsmLogOrigin(const QString &origin);
    ~GsmLogOrigin();
    GsmLogOrigin(const GsmLogOrigin &) = delete;
    GsmLogOrigin &operator=(const GsmLogOrigin &) = delete;

private:
    const QString *m_previous;
};
