#include "prov_modem.h"

#include "logcategories.h"
#include "ownmetadata.h"
#include "providersettingsgroup.h"
#include "servicesettings.h"

#include <QDir>
#include <QFile>
#include <unistd.h>

namespace {

// Kept as the file name: letters, digits, '_' and '-'; every other byte of
// the UTF-8 text as %XX. '%' is escaped itself, so two groups never meet in
// one name, and no name can start with '.' or hold a '/'.
QString fileNameSafe(const QString &text)
{
    QString safe;
    for (const char c : text.toUtf8()) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '_' || c == '-';
        if (keep)
            safe += QLatin1Char(c);
        else
            safe += QStringLiteral("%%1").arg(uchar(c), 2, 16, QLatin1Char('0')).toUpper();
    }
    return safe;
}

} // namespace

QVariant PROV_Modem::parameter(int id)
{
    switch (id) {
    case ParamProviderId:
        return ownMetaData().id;
    case ParamMaxFailures:
        return 5;
    case ParamRetryPause:
        return m_timings.retryPauseS;
    case ParamBatchSend:
        return false;
    case ParamBatchSize:
        return 1;
    case ParamBalanceCheck:
        return true;
    case ParamBalanceInterval:
        return m_timings.balanceIntervalS;
    case ParamTextCodec:
        return QStringLiteral("UTF-8");
    case ParamAuxInterval:
        return m_timings.balanceTimeoutS;
    case ParamReplyTimeout:
        return m_timings.replyTimeoutS;
    case ParamDeviceStatus:
        return ModemHealth::deviceWord(m_port.isOpen(), m_ctrl);
    case ParamDevicePath:
        // Where the port settings lead now, found as the port will be opened.
        return ModemFormat::deviceFile(ModemPort::nameToOpen(m_settings));
    default:
        return QVariant();
    }
}

QObject *PROV_Modem::create(const QString &settingsGroup)
{
    auto *modem = new PROV_Modem;
    modem->setSettingsGroup(settingsGroup);
    return modem;
}

void PROV_Modem::setSettingsGroup(const QString &group)
{
    m_settingsGroup = group.isEmpty() ? ownMetaData().registryGroup : group;
    m_logOrigin = m_settingsGroup == ownMetaData().registryGroup
                      ? QString()
                      : QStringLiteral(" [%1]").arg(m_settingsGroup);
    m_port.setLogOrigin(m_logOrigin);
    m_ctrl.setLogOrigin(m_logOrigin);
    m_queue.setLogOrigin(m_logOrigin);
    m_reports.setLogOrigin(m_logOrigin);
    m_balance.setLogOrigin(m_logOrigin);
    m_health.setLogOrigin(m_logOrigin);
}

QString PROV_Modem::pinStatePath(const QString &settingsGroup)
{
    // The same folder as the service's spool (ZELSMS_STATE_DIR, else the
    // system's or the user's state folder), which outlives a restart.
    QString dir = QFile::decodeName(qgetenv("ZELSMS_STATE_DIR"));
    if (dir.isEmpty() && ::geteuid() == 0)
        dir = QStringLiteral("/var/lib/zelsms");
    if (dir.isEmpty()) {
        QString base = QFile::decodeName(qgetenv("XDG_STATE_HOME"));
        if (base.isEmpty())
            base = QDir::homePath() + QStringLiteral("/.local/state");
        dir = base + QStringLiteral("/zelsms");
    }
    if (settingsGroup.isEmpty() || settingsGroup == ownMetaData().registryGroup)
        return dir + QStringLiteral("/modem-sim-pin.state");
    return dir + QStringLiteral("/modem-sim-pin-") + fileNameSafe(settingsGroup) +
           QStringLiteral(".state");
}

bool PROV_Modem::readSettings()
{
    m_settings =
        ModemSettings::fromStored(ProviderSettingsGroup(m_settingsGroup).values(), m_settingsGroup);
    for (const QString &problem : qAsConst(m_settings.problems))
        qCWarning(lcModem).noquote()
            << QStringLiteral("[PROV_Modem::readSettings()]: ") + problem + m_logOrigin;
    // A service-wide setting: whoever sends through a modem asks for reports.
    m_reportsWanted = ServiceSettings::read(*ServiceSettings::openSystem()).deliveryReports;
    return m_settings.isUsable();
}
