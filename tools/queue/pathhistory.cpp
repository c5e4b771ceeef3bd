#include "pathhistory.h"

#include "sqlitestatement.h"

#include <QSet>

using namespace SpoolSql;

namespace {

const QString Working = QStringLiteral("working");
const QString Lost = QStringLiteral("lost");
const QString Started = QStringLiteral("service started");
const QString Stopped = QStringLiteral("service stopped");

// A path is out of service in these; paused counts, since the station's
// alarms do not go out through a paused path either.
bool isOutageState(const QString &state)
{
    static const QSet<QString> states{QStringLiteral("paused"), QStringLiteral("down"),
                                      QStringLiteral("not ready"), QStringLiteral("not started")};
    return states.contains(state);
}

qint64 length(const PathHistory::Moment &a, const PathHistory::Moment &b)
{
    if (!a.bootId.isEmpty() && a.bootId == b.bootId)
        return qMax<qint64>(0, b.bootMs - a.bootMs);
    return qMax<qint64>(0, b.wallMs - a.wallMs);
}

// Rows read per query: each query is its own short read transaction.
constexpr int ChunkRows = 4000;

} // namespace

const QString PathHistory::StationPath = QStringLiteral("station");

qint64 PathHistory::Path::knownMs() const
{
    qint64 sum = 0;
    for (qint64 ms : stateMs)
        sum += ms;
    return sum;
}

qint64 PathHistory::Path::workingMs() const
{
    return stateMs.value(Working);
}

double PathHistory::Path::availability() const
{
    const qint64 known = knownMs();
    return known > 0 ? double(workingMs()) / double(known) : -1.0;
}

PathHistory::PathHistory(qint64 fromMs, qint64 toMs) : m_fromMs(fromMs), m_toMs(toMs)
{
    m_unknownSince.wallMs = fromMs;
}

qint64 PathHistory::clipped(const Moment &from, const Moment &to) const
{
    const qint64 start = from.wallMs;
    const qint64 end = start + length(from, to);
    return qMax<qint64>(0, qMin(end, m_toMs) - qMax(start, m_fromMs));
}

void PathHistory::account(const QString &path, const Moment &at)
{
    Open &o = m_open[path];
    if (o.state.isEmpty())
        return;
    const qint64 ms = clipped(o.since, at);
    m_paths[path].stateMs[o.state] += ms;
    if (o.inEpisode)
        o.episodeMs += ms;
    o.since = at;
}

void PathHistory::endEpisode(const QString &path)
{
    Open &o = m_open[path];
    if (!o.inEpisode)
        return;
    o.inEpisode = false;
    // An episode counts in the period it overlaps, with the length it has there.
    if (o.episodeStartMs >= m_toMs || (o.episodeStartMs < m_fromMs && o.episodeMs == 0))
        return;
    Path &p = m_paths[path];
    ++p.outages;
    p.longestOutageMs = qMax(p.longestOutageMs, o.episodeMs);
    if (path == StationPath && m_lost.size() < MaxLostPeriods)
        m_lost.append(Episode{qMax(o.episodeStartMs, m_fromMs), o.episodeMs});
}

void PathHistory::change(const QString &path, const QString &state, const Moment &at)
{
    account(path, at);
    Open &o = m_open[path];
    // The station link is lost whatever it was before; a path has an outage
    // only when it leaves working.
    const bool bad = path == StationPath ? state == Lost : isOutageState(state);
    const bool starts = path == StationPath ? bad : bad && o.state == Working;
    if (o.inEpisode && !bad)
        endEpisode(path);
    if (!o.inEpisode && starts) {
        o.inEpisode = true;
        o.episodeStartMs = at.wallMs;
        o.episodeMs = 0;
    }
    o.state = state;
    o.since = at;
}

void PathHistory::closeAll(const Moment &at)
{
    for (auto it = m_open.begin(); it != m_open.end(); ++it) {
        account(it.key(), at);
        endEpisode(it.key());
        it->state.clear();
    }
}

void PathHistory::unknownUntil(const Moment &at)
{
    m_unknownMs += clipped(m_unknownSince, at);
}

void PathHistory::add(const Row &row)
{
    if (m_finished || row.at.wallMs >= m_toMs)
        return;
    ++m_rows;
    if (row.path.isEmpty()) {
        if (row.state == Started) {
            if (m_running) {
                // A crash: nothing is known after the last row it wrote.
                closeAll(m_lastRow);
                m_unknownSince = m_lastRow;
            }
            unknownUntil(row.at);
            m_running = true;
        } else if (row.state == Stopped && m_running) {
            closeAll(row.at);
            m_running = false;
            m_unknownSince = row.at;
        }
        m_lastRow = row.at;
        return;
    }
    if (!m_running) {
        // A path's row says the service runs, whatever the start's row said.
        unknownUntil(row.at);
        m_running = true;
    }
    if (!row.provider.isEmpty() && row.path != StationPath)
        m_pathOf.insert(row.provider, row.path);
    Path &p = m_paths[row.path];
    p.path = row.path;
    if (!row.provider.isEmpty())
        p.provider = row.provider;
    change(row.path, row.state, row.at);
    m_lastRow = row.at;
}

void PathHistory::finish(const Moment &end)
{
    if (m_finished)
        return;
    m_finished = true;
    if (m_running)
        closeAll(end);
    else
        unknownUntil(end);
}

QVector<PathHistory::Path> PathHistory::paths() const
{
    QVector<Path> out;
    for (const Path &p : m_paths)
        if (p.path != StationPath)
            out.append(p);
    return out;
}

PathHistory::Path PathHistory::station() const
{
    Path p = m_paths.value(StationPath);
    p.path = StationPath;
    return p;
}

bool PathHistory::read(sqlite3 *db, PathHistory *history, QString *error)
{
    {
        Statement table(db, "SELECT 1 FROM sqlite_master WHERE type='table' AND "
                            "name='path_history'");
        if (!table) {
            *error = QString::fromUtf8(sqlite3_errmsg(db));
            return false;
        }
        if (table.step() != SQLITE_ROW)
            return true;
    }
    Statement st(db, "SELECT id, path, provider, state, wall_ms, COALESCE(boot_id,''), "
                     "COALESCE(boot_ms,0) FROM path_history WHERE id>? ORDER BY id LIMIT ?");
    if (!st) {
        *error = QString::fromUtf8(sqlite3_errmsg(db));
        return false;
    }
    qint64 after = 0;
    for (;;) {
        st.bind(1, after);
        st.bind(2, qint64(ChunkRows));
        int rc;
        int rows = 0;
        while ((rc = st.step()) == SQLITE_ROW) {
            sqlite3_stmt *s = st.get();
            after = sqlite3_column_int64(s, 0);
            const Row row{
                columnText(s, 1), columnText(s, 2), columnText(s, 3),
                Moment{sqlite3_column_int64(s, 4), columnText(s, 5), sqlite3_column_int64(s, 6)}};
            history->add(row);
            ++rows;
        }
        st.reset(); // ends this chunk's read transaction
        if (rc != SQLITE_DONE) {
            *error = QString::fromUtf8(sqlite3_errmsg(db));
            return false;
        }
        if (rows < ChunkRows)
            return true;
    }
}
