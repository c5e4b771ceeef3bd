#include "metricswriter.h"

#include "deliveryrouter.h"
#include "icommonsmsinterface.h"
#include "logcategories.h"
#include "metricstext.h"
#include "pathmonitor.h"
#include "pcnudplink.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qint64 WarnEveryMs = 60 * 60 * 1000;

using Labels = MetricsText::Labels;

Labels pathLabels(const PathMonitor::Path &p)
{
    return {{QStringLiteral("path"), p.name}, {QStringLiteral("provider"), p.provider}};
}

// The router counts by the path's settings group, not by provider: two
// modems of one provider keep counters of their own.
DeliveryStats::PerPath figuresOf(const DeliveryStats &stats, const PathMonitor::Path &p)
{
    return stats.paths().value(p.name.isEmpty() ? p.provider : p.name);
}

void renderPaths(MetricsText &m, const PathMonitor &paths, const DeliveryStats &stats)
{
    const QVector<PathMonitor::Path> &list = paths.paths();
    m.family("zelsms_path_state", "gauge", "1 for the state the path is in, 0 for the others.");
    for (int i = 0; i < list.size(); ++i)
        for (const QString &s : PathMonitor::stateNames()) {
            Labels l = pathLabels(list.at(i));
            l.append({QStringLiteral("state"), s});
            m.sample("zelsms_path_state", l, paths.states().value(i).state == s ? 1 : 0);
        }
    m.family("zelsms_path_status_code", "gauge",
             "The status code the path's provider would report to the station (0 ok, 1 no "
             "link, 2 low balance, 3 gateway error).");
    for (const PathMonitor::Path &p : list)
        m.sample("zelsms_path_status_code", pathLabels(p), PathMonitor::probe(p.sms).status);
    m.family("zelsms_path_balance", "gauge", "The provider's balance, when it is known.");
    for (const PathMonitor::Path &p : list) {
        int known = 0;
        const double balance = p.sms ? p.sms->balance(&known) : 0;
        if (p.sms && known == 1)
            m.sample("zelsms_path_balance", pathLabels(p), balance);
    }
    m.family("zelsms_modem_signal_csq", "gauge",
             "The modem's signal quality on the AT+CSQ scale (0..31), when known.");
    m.family("zelsms_modem_registration_status", "gauge",
             "The modem's registration (0 unknown, 1 registered, 2 no SIM, 3 searching, 4 "
             "refused).");
    for (const PathMonitor::Path &p : list) {
        const PathMonitor::Probe probe = PathMonitor::probe(p.sms);
        if (!probe.hasWord || !(probe.word & (1u << 24)))
            continue;
        const int rssi = int(probe.word & 0xff);
        if (rssi <= 31)
            m.sample("zelsms_modem_signal_csq", pathLabels(p), rssi);
        m.sample("zelsms_modem_registration_status", pathLabels(p), (probe.word >> 8) & 0xff);
    }
    struct Counter
    {
        const char *name;
        const char *help;
        quint64 DeliveryStats::PerPath::*field;
    };
    const Counter counters[] = {
        {"zelsms_path_delivered_total", "Records the path delivered since the service started.",
         &DeliveryStats::PerPath::delivered},
        {"zelsms_path_refused_total", "Records the path refused since the service started.",
         &DeliveryStats::PerPath::refused},
        {"zelsms_path_send_failures_total",
         "Sends that failed for the path (to be tried again) since the service started.",
         &DeliveryStats::PerPath::failed}};
    for (const Counter &c : counters) {
        m.family(c.name, "counter", c.help);
        for (const PathMonitor::Path &p : list)
            m.sample(c.name, pathLabels(p), figuresOf(stats, p).*(c.field));
    }
    m.family("zelsms_path_accept_to_delivered_seconds", "histogram",
             "From the station's request accepted to the path's delivery.");
    for (const PathMonitor::Path &p : list)
        m.histogram("zelsms_path_accept_to_delivered_seconds", pathLabels(p),
                    figuresOf(stats, p).toDelivered);
    m.family("zelsms_path_accept_to_confirmed_seconds", "histogram",
             "From the station's request accepted to the delivery report that confirmed it.");
    for (const PathMonitor::Path &p : list)
        m.histogram("zelsms_path_accept_to_confirmed_seconds", pathLabels(p),
                    figuresOf(stats, p).toConfirmed);
}

void renderRecords(MetricsText &m, Spool &spool, const DeliveryStats &stats, const PcnUdpLink *link)
{
    int queued = 0, handed = 0;
    qint64 oldestMs = 0;
    if (spool.pendingCounts(&queued, &handed, &oldestMs)) {
        m.family("zelsms_records_pending", "gauge",
                 "Records in the spool not yet final, by journal state.");
        m.sample("zelsms_records_pending", {{QStringLiteral("state"), QStringLiteral("queued")}},
                 queued);
        m.sample("zelsms_records_pending", {{QStringLiteral("state"), QStringLiteral("handed")}},
                 handed);
        m.family("zelsms_oldest_pending_age_seconds", "gauge",
                 "Age of the oldest record not yet final (0 when none).");
        m.sample("zelsms_oldest_pending_age_seconds", {},
                 oldestMs > 0 ? qMax<qint64>(0, Spool::now().wallMs - oldestMs) / 1000.0 : 0);
    }
    m.family("zelsms_records_finished_total", "counter",
             "Records that reached a final journal state since the service started.");
    for (int s : {int(Spool::Delivered), int(Spool::Rejected), int(Spool::Expired)})
        m.sample("zelsms_records_finished_total", {{QStringLiteral("state"), Spool::stateName(s)}},
                 stats.finishedRecords().value(s));
    m.family("zelsms_repeats_folded_total", "counter",
             "Station requests found already stored and acknowledged again.");
    m.sample("zelsms_repeats_folded_total", {}, stats.repeats());
    QMap<QString, quint64> refused = stats.refusedRequests();
    // Every reason from the start, so that a rate over a new series is not missed.
    for (const char *reason : {"bad number", "spool full", "spool unavailable"})
        refused[QString::fromLatin1(reason)] += 0;
    if (link) {
        refused[QStringLiteral("malformed")] += link->counters().malformed;
        refused[QStringLiteral("sender not admitted")] += link->counters().refusedSources;
    }
    m.family("zelsms_requests_refused_total", "counter",
             "Station requests not stored or not sent, by reason.");
    for (auto it = refused.cbegin(); it != refused.cend(); ++it)
        m.sample("zelsms_requests_refused_total", {{QStringLiteral("reason"), it.key()}},
                 it.value());
}

void renderStation(MetricsText &m, const PathMonitor &paths, const PcnUdpLink *link)
{
    if (!link)
        return;
    m.family("zelsms_station_link_up", "gauge", "1 while the station is in contact.");
    m.sample("zelsms_station_link_up", {},
             paths.stationState() == QLatin1String("in contact") ? 1 : 0);
    if (link->msSinceContact() >= 0) {
        m.family("zelsms_station_last_contact_age_seconds", "gauge",
                 "Since the last valid datagram from the station.");
        m.sample("zelsms_station_last_contact_age_seconds", {}, link->msSinceContact() / 1000.0);
    }
    m.family("zelsms_station_requests_total", "counter", "Valid requests read from the station.");
    m.sample("zelsms_station_requests_total", {}, link->counters().requests);
    m.family("zelsms_station_acknowledgements_total", "counter",
             "Acknowledgements sent to the station.");
    m.sample("zelsms_station_acknowledgements_total", {}, link->counters().acknowledgements);
}

} // namespace

QString MetricsWriter::chooseFile(const QString &setting, const QString &debianFolder)
{
    if (!setting.trimmed().isEmpty())
        return setting.trimmed();
    if (QFileInfo(debianFolder).isDir())
        return debianFolder + QStringLiteral("/zelsms.prom");
    return QString();
}

QByteArray MetricsWriter::render(const PathMonitor &paths, const DeliveryRouter &router,
                                 const PcnUdpLink *link, qint64 startWallMs, const QString &version)
{
    MetricsText m;
    m.family("zelsms_build_info", "gauge", "The service's version.");
    m.sample("zelsms_build_info", {{QStringLiteral("version"), version}}, 1);
    m.family("zelsms_start_time_seconds", "gauge", "When the service started, Unix time.");
    m.sample("zelsms_start_time_seconds", {}, startWallMs / 1000.0);
    renderPaths(m, paths, router.stats());
    renderRecords(m, const_cast<DeliveryRouter &>(router).spool(), router.stats(), link);
    renderStation(m, paths, link);
    return m.text();
}

bool MetricsWriter::write(const QByteArray &text)
{
    if (m_file.isEmpty())
        return false;
    m_lastWrite.start();
    // The temporary file lies beside the target so the rename is atomic;
    // a dot name, which the textfile collector does not read (it takes *.prom).
    const QFileInfo target(m_file);
    const QString temp =
        target.absolutePath() + QStringLiteral("/.") + target.fileName() + QStringLiteral(".tmp");
    const QByteArray tempName = QFile::encodeName(temp);
    QString error;
    const int fd =
        ::open(tempName.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        error = QString::fromLocal8Bit(strerror(errno));
    } else {
        ::fchmod(fd, 0644); // whatever the umask
        qint64 done = 0;
        while (done < text.size()) {
            const ssize_t n = ::write(fd, text.constData() + done, size_t(text.size() - done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                error = QString::fromLocal8Bit(strerror(errno));
                break;
            }
            done += n;
        }
        if (::close(fd) != 0 && error.isEmpty())
            error = QString::fromLocal8Bit(strerror(errno));
        if (error.isEmpty() && ::rename(tempName.constData(), QFile::encodeName(m_file)) != 0)
            error = QString::fromLocal8Bit(strerror(errno));
        if (!error.isEmpty())
            ::unlink(tempName.constData());
    }
    if (error.isEmpty())
        return true;
    if (!m_lastWarning.isValid() || m_lastWarning.elapsed() >= WarnEveryMs) {
        m_lastWarning.start();
        qCWarning(lcService).noquote()
            << QStringLiteral("Файл метрик %1 не записан: %2").arg(m_file, error);
    }
    return false;
}
