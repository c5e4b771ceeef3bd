#pragma once

#include <QMap>
#include <QString>
#include <QVector>

struct sqlite3;

// The time each path spent in each state over a period, summed from the
// spool's path history (one row per change of a path's state, the service's
// starts and stops among them). A length is taken on the boot clock when both
// of its ends lie in one boot, else on the wall clock, and is placed on the
// wall clock from its start. The time the service did not run is unknown, not
// working: from "service stopped" to the next "service started", and after a
// crash (a start with no stop before it) from the last row written before it.
// A period with no history at all is unknown throughout.
class PathHistory
{
public:
    struct Moment
    {
        qint64 wallMs = 0;
        QString bootId; // empty: only the wall clock is known
        qint64 bootMs = 0;
    };
    struct Row
    {
        QString path; // settings group; "station" is the station link, "" the service
        QString provider;
        QString state;
        Moment at;
    };
    struct Episode
    {
        qint64 startMs = 0; // wall clock; not before the period's start
        qint64 ms = 0;      // within the period
    };
    struct Path
    {
        QString path;
        QString provider; // the last one seen on the path
        QMap<QString, qint64> stateMs;
        int outages = 0; // for the station: lost periods
        qint64 longestOutageMs = 0;
        qint64 knownMs() const;
        qint64 workingMs() const;
        // working over known time; negative when nothing is known
        double availability() const;
    };

    static const QString StationPath;
    // The station's lost periods listed at most; the count goes on.
    static constexpr int MaxLostPeriods = 1000;

    PathHistory(qint64 fromMs, qint64 toMs);
    // Rows in the order they were written; rows from the period's end on are ignored.
    void add(const Row &row);
    // end: the period's end, or now when that lies earlier.
    void finish(const Moment &end);

    QVector<Path> paths() const; // by name, without the station and the service
    Path station() const;
    QVector<Episode> lostPeriods() const { return m_lost; }
    qint64 unknownMs() const { return m_unknownMs; }
    bool hasRows() const { return m_rows > 0; }
    // The path a provider was last seen on; empty when none.
    QString pathOf(const QString &provider) const { return m_pathOf.value(provider); }

    // Reads the spool's history in short chunks, each its own read, so the
    // service's writes and checkpoints are not held back. A spool without the
    // table reads as no history; false only on a read error.
    static bool read(sqlite3 *db, PathHistory *history, QString *error);

private:
    struct Open
    {
        QString state; // empty: not known since the service started
        Moment since;
        bool inEpisode = false;
        qint64 episodeStartMs = 0;
        qint64 episodeMs = 0;
    };
    qint64 clipped(const Moment &from, const Moment &to) const;
    void account(const QString &path, const Moment &at);
    void endEpisode(const QString &path);
    void change(const QString &path, const QString &state, const Moment &at);
    void closeAll(const Moment &at);
    void unknownUntil(const Moment &at);

    qint64 m_fromMs;
    qint64 m_toMs;
    bool m_running = false;
    bool m_finished = false;
    Moment m_unknownSince;
    Moment m_lastRow;
    qint64 m_unknownMs = 0;
    qint64 m_rows = 0;
    QMap<QString, Open> m_open;
    QMap<QString, Path> m_paths;
    QMap<QString, QString> m_pathOf;
    QVector<Episode> m_lost;
};
