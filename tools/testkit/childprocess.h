#pragma once

#include <QProcess>

// A process that goes with the program that started it: a test or benchmark
// that crashes or is killed leaves no service holding its ports and files.
// The child gets SIGTERM, so a service still closes its spool.
class ChildProcess : public QProcess
{
public:
    using QProcess::QProcess;

protected:
    void setupChildProcess() override;
};
