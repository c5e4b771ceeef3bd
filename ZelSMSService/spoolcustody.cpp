#include "spoolcustody.h"

#include "logcategories.h"
#include "routerclock.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QTimer>

namespace {

// The spool is looked at this often while there is something to look for:
// a spool that could not be opened or was moved, records pending (their age
// limit), a -wal to cut back once writes stop, old records still to purge.
// Otherwise the tick runs once a minute for the purge, and the journal
// tool's retry is seen through a notification that the spool's files changed.
constexpr int TickMs = 2000;
// After the spool's files change (the journal tool's retry writes them; so
// do the service's own commits), the change is looked for this much later,
// once for all the changes meanwhile.
constexpr int ChangeCheckMs = 500;
constexpr qint64 CriticalRepeatMs = 60 * 1000;
// The purge of old records: days are its unit.
constexpr qint64 HousekeepingEveryMs = 60 * 1000;
constexpr int PurgeBatch = 500;
// The longest the service waits for another program's lock on the spool: the
// event loop (station datagrams, providers) must not stand still behind it.
// What could not be written is tried again from a timer.
constexpr int BusyTimeoutMs = 25;
constexpr int BusyRetryMs = 250;
// At an orderly stop nothing else waits for the loop.
constexpr int StopBusyTimeoutMs = 2000;
// Written nothing for this long, the service truncates the spool's -wal.
constexpr int IdleCheckpointMs = 60 * 1000;

// Tests shorten the idle time (only with the test hooks on).
int idleCheckpointMs()
{
    if (qEnvironmentVariable("ZELSMS_TEST_HOOKS") != QLatin1String("1"))
        return IdleCheckpointMs;
    bool ok = false;
    const int ms = qEnvironmentVariableIntValue("ZELSMS_TEST_SPOOL_IDLE_MS", &ok);
    return ok && ms > 0 ? ms : IdleCheckpointMs;
}

qint64 monotonicMs()
{
    QElapsedTimer t;
    t.start();
    return t.msecsSinceReference();
}

} // namespace

SpoolCustody::SpoolCustody(Keeper *keeper, const RouterClock *clock, QObject *parent)
    : QObject(parent), m_keeper(keeper), m_clock(clock), m_tick(new QTimer(this)),
      m_flushTimer(new QTimer(this)), m_changeCheck(new QTimer(this))
{
    m_flushTimer->setSingleShot(true);
    m_changeCheck->setSingleShot(true);
    m_changeCheck->setInterval(ChangeCheckMs);
    connect(m_changeCheck, &QTimer::timeout, this, &SpoolCustody::checkChangedElsewhere);
    connect(m_tick, &QTimer::timeout, this, &SpoolCustody::tick);
    connect(m_flushTimer, &QTimer::timeout, this, &SpoolCustody::flush);
}

SpoolCustody::~SpoolCustody() = default;

void SpoolCustody::critical(qint64 *lastMs, const QString &text)
{
    // Once a minute tells the story, also when writes fail only now and then
    // (a success in between does not start the minute again). Monotonic: a
    // clock step neither hides nor repeats it.
    const qint64 now = monotonicMs();
    if (*lastMs != 0 && now - *lastMs < CriticalRepeatMs)
        return;
    *lastMs = now;
    qCCritical(lcSpool).noquote() << text;
}

void SpoolCustody::start(Spool::Sync sync, int historyDays)
{
    m_sync = sync;
    m_historyDays = historyDays;
    m_started = true;
    m_idleCheckpointMs = idleCheckpointMs();
    m_spool.setBusyTimeoutMs(BusyTimeoutMs);
    if (open())
        m_keeper->spoolOpened();
    armTick();
}

void SpoolCustody::stop()
{
    m_started = false;
    m_tick->stop();
    m_flushTimer->stop();
    m_changeCheck->stop();
    m_watcher.reset();
    // What the providers still held was not sent as far as anyone knows: back
    // to queued, so the next start hands it over again without counting it
    // as a possible duplicate. Outcomes already reported are written first.
    m_spool.setBusyTimeoutMs(StopBusyTimeoutMs);
    if (m_spool.isOpen() && m_spool.hasMoved())
        rescue();
    flush();
    if (m_spool.isOpen() && !m_spool.hasNotes())
        m_spool.requeueHanded();
}

bool SpoolCustody::open()
{
    if (m_spool.isOpen())
        return true;
    const QString path = m_spoolPath.isEmpty() ? Spool::defaultPath() : m_spoolPath;
    if (m_spool.open(path, m_sync)) {
        qCDebug(lcSpool).noquote() << QStringLiteral("Очередь SMS %1 открыта, ожидают отправки: %2")
                                          .arg(path)
                                          .arg(m_spool.pendingCount());
        return true;
    }
    criticalOpen(QStringLiteral("Не удалось открыть очередь SMS %1: %2. Запросы станции не "
                                "подтверждаются, пока очередь недоступна")
                     .arg(path, m_spool.error()));
    return false;
}

void SpoolCustody::warnBusy()
{
    if (m_lastBusyWarningMs != 0 && monotonicMs() - m_lastBusyWarningMs < CriticalRepeatMs)
        return;
    m_lastBusyWarningMs = monotonicMs();
    qCWarning(lcSpool).noquote() << QStringLiteral("Очередь SMS %1 занята другой программой (%2); "
                                                   "запись повторяется, запросы станции ждут "
                                                   "подтверждения")
                                        .arg(m_spool.path(), m_spool.error());
}

void SpoolCustody::rescue()
{
    if (!m_rescuing) {
        m_rescuing = true;
        if (m_spool.damage().isEmpty())
            qCCritical(lcSpool).noquote()
                << QStringLiteral("Файл очереди SMS %1 удалён или заменён во "
                                  "время работы службы; запросы станции не "
                                  "подтверждаются, пока очередь не создана "
                                  "заново")
                       .arg(m_spool.path());
        else
            qCCritical(lcSpool).noquote()
                << QStringLiteral("Файл очереди SMS %1 повреждён во время "
                                  "работы службы (%2); запросы станции не "
                                  "подтверждаются, пока очередь не создана "
                                  "заново")
                       .arg(m_spool.path(), m_spool.damage());
    }
    int rewritten = 0;
    // Only a damaged file may fail to give its records back.
    const QVector<Spool::Record> held =
        m_spool.damage().isEmpty() ? QVector<Spool::Record>() : m_keeper->heldRecords();
    if (!m_spool.recreate(&rewritten, held)) {
        criticalStore(QStringLiteral("Не удалось создать очередь SMS %1 заново: %2")
                          .arg(m_spool.path(), m_spool.error()));
        return;
    }
    m_rescuing = false;
    qCWarning(lcSpool).noquote() << QStringLiteral("Очередь SMS %1 создана заново; в неё записаны "
                                                   "неотправленные SMS: %2")
                                        .arg(m_spool.path())
                                        .arg(rewritten);
}

void SpoolCustody::scheduleFlush()
{
    if (!m_flushTimer->isActive())
        m_flushTimer->start(0);
}

void SpoolCustody::flush()
{
    if (!m_spool.isOpen() || !m_spool.hasNotes())
        return;
    if (m_spool.flush())
        return;
    if (m_spool.moved()) {
        if (!m_rescuing)
            rescue();
    } else if (m_spool.busy()) {
        warnBusy();
        if (m_started)
            m_flushTimer->start(BusyRetryMs);
    } else {
        criticalStore(QStringLiteral("Не удалось записать в очередь SMS %1: %2")
                          .arg(m_spool.path(), m_spool.error()));
        if (m_started)
            m_flushTimer->start(TickMs); // the notes stay; try them again
    }
}

void SpoolCustody::armTick()
{
    if (!m_started)
        return;
    if (!m_spool.isOpen()) {
        m_watcher.reset();
    } else {
        watchFiles();
    }
    const bool lookOften =
        !m_spool.isOpen() || m_rescuing || m_purgeBacklog || m_keeper->holdsRecords();
    qint64 ms = lookOften ? TickMs : HousekeepingEveryMs;
    // A -wal left by writes is cut back once they have stopped that long.
    if (!lookOften && m_spool.walDirty())
        ms = qBound<qint64>(TickMs, m_idleCheckpointMs - m_spool.msSinceWrite() + 1, ms);
    if (m_tick->interval() != int(ms) || !m_tick->isActive())
        m_tick->start(int(ms));
}

void SpoolCustody::watchFiles()
{
    if (!m_watcher) {
        m_watcher.reset(new QFileSystemWatcher);
        connect(m_watcher.get(), &QFileSystemWatcher::fileChanged, this,
                &SpoolCustody::filesChanged);
        connect(m_watcher.get(), &QFileSystemWatcher::directoryChanged, this,
                &SpoolCustody::filesChanged);
    }
    // A file replaced or created (the -wal comes and goes) drops out of the
    // watch; its folder says when to add it again.
    const QString path = m_spool.path();
    QStringList missing;
    const QString dir = QFileInfo(path).absolutePath();
    if (!m_watcher->directories().contains(dir))
        missing << dir;
    for (const QString &file : {path, path + QStringLiteral("-wal")})
        if (QFileInfo::exists(file) && !m_watcher->files().contains(file))
            missing << file;
    if (!missing.isEmpty())
        m_watcher->addPaths(missing);
}

void SpoolCustody::filesChanged()
{
    if (!m_changeCheck->isActive())
        m_changeCheck->start();
}

void SpoolCustody::checkChangedElsewhere()
{
    if (!m_spool.isOpen())
        return;
    watchFiles();
    if (m_rescuing || m_spool.hasMoved()) {
        rescue();
        armTick();
        return;
    }
    // Only the journal tool changes the file behind the service's back
    // (retry); the scans below are not paid for every change otherwise.
    if (m_spool.changedElsewhere()) {
        m_spool.recountPending();
        m_keeper->spoolChangedElsewhere();
    }
    armTick();
}

void SpoolCustody::tick()
{
    housekeeping();
    armTick();
}

void SpoolCustody::housekeeping()
{
    if (!m_spool.isOpen()) {
        if (open())
            m_keeper->spoolOpened();
        return;
    }
    if (m_rescuing || m_spool.hasMoved())
        rescue();
    flush();
    if (m_spool.walDirty() && m_spool.msSinceWrite() >= m_idleCheckpointMs)
        m_spool.truncateWal(); // a reader in the way: the next tick tries again
    // Also here: a change no notification reported (no watch could be set)
    // is found at least every minute.
    if (m_spool.changedElsewhere()) {
        m_spool.recountPending();
        m_keeper->spoolChangedElsewhere();
    }
    // Held by a provider or waiting, a record past its age is never sent.
    m_keeper->lookAtAges();
    flush();
    purge();
}

void SpoolCustody::purge()
{
    const qint64 now = m_clock->nowMs();
    // The minute's tick may come a little early.
    if (now - m_lastPurgeMs < HousekeepingEveryMs - TickMs)
        return;
    // History is kept by days on the wall clock: it must survive reboots.
    const qint64 wall = m_clock->wallMs();
    const int purged = m_spool.purge(wall - qint64(m_historyDays) * 86400000, PurgeBatch);
    const int pathRows = m_spool.purgePathHistory(wall - qint64(Spool::PathHistoryDays) * 86400000,
                                                  Spool::PathHistoryMaxRows, PurgeBatch);
    m_purgeBacklog = purged >= PurgeBatch || pathRows >= PurgeBatch;
    if (!m_purgeBacklog)
        m_lastPurgeMs = now;
}
