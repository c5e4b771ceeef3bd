#include "servicesettings.h"

#include "settingslocation.h"
#include "settingstext.h"

#include <QDir>
#include <QRegularExpression>
#include <QSettings>
#include <QVariant>

#include <limits>

namespace {

const char *const Organisation = "ZELORG";
const char *const Application = "ZelSMSService";
const QString SavedKey = QStringLiteral("Common/SettingsSaved");

int rangedValue(const QSettings &s, const char *key, int fallback, int maximum,
                QStringList &problems)
{
    bool ok = false;
    const int v = s.value(QLatin1String(key), fallback).toInt(&ok);
    if (ok && v > 0 && v <= maximum)
        return v;
    problems << QStringLiteral("значение %1 = \"%2\" не принято, используется %3")
                    .arg(QLatin1String(key), SettingsText::read(s, QLatin1String(key)))
                    .arg(fallback);
    return fallback;
}

int positiveValue(const QSettings &s, const char *key, int fallback, QStringList &problems)
{
    return rangedValue(s, key, fallback, std::numeric_limits<int>::max(), problems);
}

} // namespace

std::unique_ptr<QSettings> ServiceSettings::openSystem()
{
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::SystemScope,
                                       Organisation, Application);
}

ServiceSettings ServiceSettings::read(QSettings &system)
{
    ServiceSettings r;
    system.beginGroup(QStringLiteral("Common"));
    const QSettings &s = system;
    r.saved = s.value(QStringLiteral("SettingsSaved"), false).toBool();
    r.currentProviderID = SettingsText::read(s, QStringLiteral("currentProviderID"));
    r.serviceEnabled = s.value(QStringLiteral("serviceEnabled"), false).toBool();
    r.pcnIpAddress = SettingsText::read(s, QStringLiteral("pcnIpAddress"), r.pcnIpAddress);
    r.pcnPort = s.value(QStringLiteral("pcnPort"), DefaultPcnPort).toInt();
    r.stationAllowList = SettingsText::read(s, QStringLiteral("stationAllowList"));
    r.bindAddress = SettingsText::read(s, QStringLiteral("bindAddress"));
    const QString sync = SettingsText::read(s, QStringLiteral("spoolSync"), QStringLiteral("full"));
    if (sync.compare(QLatin1String("normal"), Qt::CaseInsensitive) == 0)
        r.spoolSync = SpoolSync::Normal;
    else if (sync.compare(QLatin1String("full"), Qt::CaseInsensitive))
        r.problems << QStringLiteral("значение spoolSync = \"%1\" не принято (full или normal), "
                                     "используется full")
                          .arg(sync);
    r.maxAgeMinutes = positiveValue(s, "maxAgeMinutes", r.maxAgeMinutes, r.problems);
    r.spoolMaxPending = positiveValue(s, "spoolMaxPending", r.spoolMaxPending, r.problems);
    r.historyDays = positiveValue(s, "historyDays", r.historyDays, r.problems);
    r.fallbackProviderID = SettingsText::read(s, QStringLiteral("fallbackProviderID"));
    r.deliveryPaths = SettingsText::read(s, QStringLiteral("deliveryPaths")).trimmed();
    r.fallbackAfterSeconds =
        positiveValue(s, "fallbackAfterSeconds", r.fallbackAfterSeconds, r.problems);
    r.deliveryReports = s.value(QStringLiteral("deliveryReports"), false).toBool();
    r.deliveryReportTimeoutMinutes =
        rangedValue(s, "deliveryReportTimeoutMinutes", r.deliveryReportTimeoutMinutes,
                    MaxReportTimeoutMinutes, r.problems);
    r.stationCodePage = SettingsText::read(s, QStringLiteral("stationCodePage"),
                                           QString::fromLatin1(r.stationCodePage))
                            .toLatin1();
    // A file name the service would resolve against whatever folder it was
    // started in is no setting: refused, so no file is written by surprise.
    const QString metrics =
        SettingsText::read(s, QStringLiteral("metricsFile"), QString()).trimmed();
    if (metrics.isEmpty() || (QDir::isAbsolutePath(metrics) && !metrics.endsWith(QLatin1Char('/'))))
        r.metricsFile = metrics;
    else
        r.problems << QStringLiteral("значение metricsFile = \"%1\" не принято (нужен полный путь "
                                     "к файлу), метрики пишутся по умолчанию")
                          .arg(metrics);
    static const QRegularExpression ruleSeparator(QStringLiteral("[,;\\s]+"));
    r.logRules = SettingsText::read(s, QStringLiteral("logRules"))
                     .split(ruleSeparator, Qt::SkipEmptyParts)
                     .join(QLatin1Char('\n'));
    system.endGroup();
    return r;
}

void ServiceSettings::write(QSettings &system) const
{
    system.beginGroup(QStringLiteral("Common"));
    system.setValue(QStringLiteral("SettingsSaved"), true);
    system.setValue(QStringLiteral("currentProviderID"), currentProviderID);
    system.setValue(QStringLiteral("serviceEnabled"), serviceEnabled);
    system.setValue(QStringLiteral("pcnIpAddress"), pcnIpAddress);
    system.setValue(QStringLiteral("pcnPort"), pcnPort);
    system.endGroup();
}

void ServiceSettings::writeFallback(QSettings &system) const
{
    system.beginGroup(QStringLiteral("Common"));
    system.setValue(QStringLiteral("fallbackProviderID"), fallbackProviderID);
    system.setValue(QStringLiteral("fallbackAfterSeconds"), fallbackAfterSeconds);
    system.endGroup();
}

void ServiceSettings::writeDeliveryPaths(QSettings &system) const
{
    system.beginGroup(QStringLiteral("Common"));
    if (deliveryPaths.trimmed().isEmpty())
        system.remove(QStringLiteral("deliveryPaths"));
    else
        system.setValue(QStringLiteral("deliveryPaths"), deliveryPaths.trimmed());
    system.endGroup();
}

void ServiceSettings::writeDeliveryReports(QSettings &system) const
{
    system.beginGroup(QStringLiteral("Common"));
    system.setValue(QStringLiteral("deliveryReports"), deliveryReports);
    system.setValue(QStringLiteral("deliveryReportTimeoutMinutes"), deliveryReportTimeoutMinutes);
    system.endGroup();
}

bool ServiceSettings::copyUserSettingsOnce(QSettings &system)
{
    if (system.value(SavedKey, false).toBool())
        return true;
    QSettings user(QSettings::NativeFormat, QSettings::UserScope, Organisation, Application);
    // Otherwise the user-scope object would also see the system-scope keys,
    // and the check below the system's own flag.
    user.setFallbacksEnabled(false);
    if (!user.value(SavedKey, false).toBool())
        return true;
    const QStringList keys = user.allKeys();
    for (const QString &key : keys)
        system.setValue(key, user.value(key));
    system.sync();
    if (system.status() != QSettings::NoError)
        return false;
    // The copy may hold gateway passwords.
    SettingsLocation::protectSettingsFile(system.fileName());
    return true;
}
