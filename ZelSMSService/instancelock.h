#pragma once

#include <QString>

// One service per spool: an exclusive flock on the state directory itself
// and on a file in it, held for the life of the process (the kernel lets go
// of them however the process ends, so a killed service never leaves a stale
// lock). The file holds the pid of the service that has it, for the refusal
// message; removing it does not let a second service in.
class InstanceLock
{
public:
    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock &) = delete;
    InstanceLock &operator=(const InstanceLock &) = delete;

    // "<state dir>/service.lock", beside the spool.
    static QString defaultPath();

    // False with error() set when another process holds it (heldElsewhere();
    // holderPid() names it, 0 if it has not written its pid yet) or the file
    // cannot be used. Never waits.
    bool acquire(const QString &path);
    bool heldElsewhere() const { return m_held; }
    qint64 holderPid() const { return m_holderPid; }
    QString error() const { return m_error; }

private:
    static qint64 readPid(const QString &path); // 0 when unknown

    int m_fd = -1;
    int m_dirFd = -1;
    bool m_held = false;
    qint64 m_holderPid = 0;
    QString m_error;
};
