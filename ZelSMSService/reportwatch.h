#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <deque>

class QTimer;

// Delivered records whose delivery report is still awaited, and the time-out
// that ends the wait. Deadlines run on the monotonic clock: a wall clock set
// back an hour must not keep an alarm waiting an hour longer, nor one set
// forward send every waiting record to the fallback at once. Every record
// leaves by its report (take()), by its time-out (timedOut) or by clear().
class ReportWatch : public QObject
{
    Q_OBJECT
public:
    explicit ReportWatch(QObject *parent = nullptr);

    void setTimeoutMs(qint64 ms) { m_timeoutMs = qMax<qint64>(1, ms); }
    qint64 timeoutMs() const { return m_timeoutMs; }

    // Waits for the record's report from now on; role: who delivered it.
    void watch(qint64 id, int role);
    // The report came: forgets the record. False when it was not awaited
    // (timed out already, or never watched); role is set when it was.
    bool take(qint64 id, int *role = nullptr);
    bool contains(qint64 id) const { return m_waiting.contains(id); }
    int count() const { return m_waiting.size(); }
    void clear();

signals:
    // No report within the time-out; the record is forgotten.
    void timedOut(qint64 id, int role);

private slots:
    void check();

private:
    void arm();

    struct Waiting
    {
        int role;
        qint64 dueMs; // tells its own deadline from one of an earlier wait
    };

    qint64 m_timeoutMs = 10 * 60 * 1000;
    QHash<qint64, Waiting> m_waiting;
    std::deque<std::pair<qint64, qint64>> m_deadlines; // (due on m_clock, record id)
    QElapsedTimer m_clock;
    QTimer *m_timer;
};
