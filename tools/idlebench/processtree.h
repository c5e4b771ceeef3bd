#pragma once

#include <QtGlobal>

// What a process and all its descendants cost, read from /proc: CPU time
// (including that of children already reaped), resident memory (all of it,
// proportional, anonymous), and how
// often their threads were woken (context switches), the figure that shows
// work without a cause.
struct ProcessTreeUsage
{
    double cpuSeconds = 0;
    qint64 rssKb = 0;
    qint64 pssKb = 0;  // shared pages divided among the processes mapping them
    qint64 anonKb = 0; // heap and other private memory, as opposed to mapped files
    qint64 wakeups = 0;
    int processes = 0;

    static ProcessTreeUsage read(qint64 rootPid);
};
