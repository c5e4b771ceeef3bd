#pragma once

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
