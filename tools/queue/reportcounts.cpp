#include "deliveryreport.h"

#include "spool.h"
#include "sqlitestatement.h"

#include <algorithm>
#include <cstring>
#include <limits>

// The report's counting of records: one pass over the period in short reads,
// each record counted for its path and in the total.

using namespace SpoolSql;

namespace DeliveryReport {

namespace {

// Ids per query: a few milliseconds of reading, then the read ends and the
// service's checkpoint may pass.
constexpr qint64 ChunkIds = 4096;

const char *text(sqlite3_stmt *st, int col)
{
    const unsigned char *t = sqlite3_column_text(st, col);
    return t ? reinterpret_cast<const char *>(t) : "";
}

bool is(const char *state, int which)
{
    return std::strcmp(state, Spool::stateName(which)) == 0;
}

bool isReport(const char *report, int which)
{
    return std::strcmp(report, Spool::reportName(which)) == 0;
}

// From the receipt (wall ms in column 0, boot id and ms in 1 and 2) to the
// moment in columns wall..wall+2: the boot clock within one boot, as a step
// of the wall clock between shows in the wall clock only.
qint64 sinceReceived(sqlite3_stmt *s, int wall)
{
    const char *bootId = text(s, 1);
    if (*bootId && std::strcmp(bootId, text(s, wall + 1)) == 0)
        return sqlite3_column_int64(s, wall + 2) - sqlite3_column_int64(s, 2);
    return sqlite3_column_int64(s, wall) - sqlite3_column_int64(s, 0);
}

void count(sqlite3_stmt *s, Counts *c)
{
    const char *state = text(s, 3);
    const char *report = text(s, 7);
    ++c->accepted;
    c->duplicates += sqlite3_column_int64(s, 9);
    if (is(state, Spool::Delivered)) {
        ++c->delivered;
        c->toDelivered.add(sinceReceived(s, 4));
    } else if (is(state, Spool::Expired)) {
        ++c->expired;
    } else if (is(state, Spool::Rejected)) {
        ++c->refused;
    } else if (is(state, Spool::Dropped)) {
        ++c->dropped;
    } else {
        ++c->pending;
    }
    if (isReport(report, ReportConfirmed)) {
        ++c->confirmed;
        c->toConfirmed.add(sinceReceived(s, 10));
    } else if (isReport(report, ReportFailed)) {
        ++c->reportFailed;
    } else if (isReport(report, ReportTimeout)) {
        ++c->reportTimeout;
    }
}

} // namespace

void Durations::add(qint64 ms)
{
    m_ms.push_back(int32_t(qBound<qint64>(0, ms, std::numeric_limits<int32_t>::max())));
}

void Durations::append(const Durations &other)
{
    m_ms.insert(m_ms.end(), other.m_ms.begin(), other.m_ms.end());
}

Durations::Summary Durations::summary()
{
    Summary s;
    s.count = qint64(m_ms.size());
    if (m_ms.empty())
        return s;
    std::sort(m_ms.begin(), m_ms.end());
    const auto rank = [this](int percent) {
        const size_t n = m_ms.size();
        const size_t r = (n * size_t(percent) + 99) / 100; // ceiling
        return qint64(m_ms[qMax<size_t>(r, 1) - 1]);
    };
    s.medianMs = rank(50);
    s.p95Ms = rank(95);
    s.p99Ms = rank(99);
    s.maxMs = m_ms.back();
    return s;
}

void Counts::merge(Counts &&other)
{
    accepted += other.accepted;
    delivered += other.delivered;
    confirmed += other.confirmed;
    reportFailed += other.reportFailed;
    reportTimeout += other.reportTimeout;
    expired += other.expired;
    refused += other.refused;
    dropped += other.dropped;
    pending += other.pending;
    duplicates += other.duplicates;
    toDelivered.append(other.toDelivered);
    toConfirmed.append(other.toConfirmed);
    if (provider.isEmpty())
        provider = other.provider;
}

bool readRecords(sqlite3 *db, qint64 fromMs, qint64 toMs, Counts *total,
                 QMap<QString, Counts> *byPath, QMap<QString, Counts> *byProvider, QString *error)
{
    qint64 first = 0, last = 0;
    {
        Statement range(db, "SELECT COALESCE(MIN(id),0), COALESCE(MAX(id),0) FROM records");
        if (!range || range.step() != SQLITE_ROW) {
            *error = QString::fromUtf8(sqlite3_errmsg(db));
            return false;
        }
        first = sqlite3_column_int64(range.get(), 0);
        last = sqlite3_column_int64(range.get(), 1);
    }
    Statement st(db, "SELECT received, boot_id, received_boot, state, final, final_boot_id, "
                     "final_boot, report, provider, duplicates, report_time, report_boot_id, "
                     "report_boot, path FROM records "
                     "WHERE id>=?1 AND id<?2 AND received>=?3 AND received<?4");
    if (!st) {
        *error = QString::fromUtf8(sqlite3_errmsg(db));
        return false;
    }
    // Names compared as bytes: a million QStrings made and dropped would be
    // most of the report's time.
    QByteArray provider, path;
    Counts *counts = nullptr;
    for (qint64 lo = first; lo <= last && last > 0; lo += ChunkIds) {
        st.bind(1, lo);
        st.bind(2, lo + ChunkIds);
        st.bind(3, fromMs);
        st.bind(4, toMs);
        int rc;
        while ((rc = st.step()) == SQLITE_ROW) {
            sqlite3_stmt *s = st.get();
            const char *p = text(s, 8);
            const char *g = text(s, 13);
            if (!counts || provider != p || path != g) {
                provider = p;
                path = g;
                counts = path.isEmpty() ? &(*byProvider)[QString::fromUtf8(provider)]
                                        : &(*byPath)[QString::fromUtf8(path)];
                if (counts->provider.isEmpty())
                    counts->provider = QString::fromUtf8(provider);
            }
            count(s, total);
            count(s, counts);
        }
        st.reset(); // ends this chunk's read transaction
        if (rc != SQLITE_DONE) {
            *error = QString::fromUtf8(sqlite3_errmsg(db));
            return false;
        }
    }
    return true;
}

} // namespace DeliveryReport
