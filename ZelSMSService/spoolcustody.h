#pragma once

#include "spool.h"

#include <QObject>
#include <QString>
#include <QVector>
#include <memory>

class QFileSystemWatcher;
class QTimer;
class RouterClock;

// Keeps the spool in good order while the service runs: opens it (again and
// again from its tick while it cannot), writes what was noted soon after it
// was noted, truncates the -wal once writes stop, purges old history, sees
// the journal tool's changes through the spool's files, and builds the file
// again when it is removed, replaced or damaged under the service. What the
// records mean is the router's: it is asked through Keeper.
class SpoolCustody : public QObject
{
    Q_OBJECT
public:
    // The one who routes the records kept here.
    class Keeper
    {
    public:
        virtual ~Keeper() = default;
        // The spool opened: what it holds is handed over.
        virtual void spoolOpened() = 0;
        // Another program (the journal tool) put records back to queued.
        virtual void spoolChangedElsewhere() = 0;
        // Every tick: records past their age limit end.
        virtual void lookAtAges() = 0;
        // Records pending: the tick looks often.
        virtual bool holdsRecords() const = 0;
        // What a damaged file may no longer give back.
        virtual QVector<Spool::Record> heldRecords() const = 0;
    };

    SpoolCustody(Keeper *keeper, const RouterClock *clock, QObject *parent = nullptr);
    ~SpoolCustody() override;

    // Empty: Spool::defaultPath().
    void setSpoolPath(const QString &path) { m_spoolPath = path; }
    Spool &spool() { return m_spool; }
    const Spool &spool() const { return m_spool; }

    // Opens the spool (the keeper hands over what it holds) and starts the tick.
    void start(Spool::Sync sync, int historyDays);
    // Writes what is noted and puts handed records back to queued; the
    // keeper has let go of its records already.
    void stop();
    bool started() const { return m_started; }

    void scheduleFlush();
    void flush();
    // The tick at the pace of what there is to look for.
    void armTick();
    // The spool's file was removed, replaced or damaged: created again from
    // the open one, and from the keeper's records where that fails.
    void rescue();
    bool rescuing() const { return m_rescuing; }
    void warnBusy();
    // Once a minute at most per kind of failure: the station repeats what
    // was not acknowledged, so the same failure comes many times a second.
    void criticalOpen(const QString &text) { critical(&m_lastOpenCriticalMs, text); }
    void criticalStore(const QString &text) { critical(&m_lastStoreCriticalMs, text); }
    static void critical(qint64 *lastMs, const QString &text);

private slots:
    void tick();
    void filesChanged();
    void checkChangedElsewhere();

private:
    bool open();
    void housekeeping();
    void purge();
    void watchFiles();

    Keeper *m_keeper;
    const RouterClock *m_clock;
    Spool m_spool;
    QString m_spoolPath;
    Spool::Sync m_sync = Spool::SyncFull;
    int m_historyDays = 90;
    bool m_started = false;
    QTimer *m_tick;
    QTimer *m_flushTimer;
    QTimer *m_changeCheck;
    std::unique_ptr<QFileSystemWatcher> m_watcher;
    bool m_purgeBacklog = false;
    qint64 m_lastStoreCriticalMs = 0;
    qint64 m_lastOpenCriticalMs = 0;
    qint64 m_lastBusyWarningMs = 0;
    bool m_rescuing = false; // the spool must be created again; nothing is acknowledged
    int m_idleCheckpointMs = 60 * 1000;
    qint64 m_lastPurgeMs = 0;
};
