#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>

class QSettings;

// The service's settings, group "Common" of system-scope ZELORG/ZelSMSService:
// what the service runs with and what the configuration program shows and
// writes. Every key has a default, so a missing key is never an error; a value
// the service cannot use is replaced by its default and described in
// problems, which the service logs and the configuration program does not.
struct ServiceSettings
{
    enum class SpoolSync
    {
        Full,
        Normal
    };

    static constexpr int DefaultPcnPort = 3124;
    static constexpr int DefaultFallbackAfterSeconds = 60;
    static constexpr int DefaultReportTimeoutMinutes = 10;
    static constexpr int MaxReportTimeoutMinutes = 1440;

    bool saved = false; // "SettingsSaved": written once by either program
    QString currentProviderID;
    bool serviceEnabled = false;
    QString pcnIpAddress = QStringLiteral("127.0.0.1");
    int pcnPort = DefaultPcnPort;
    QString stationAllowList; // who besides the station may send, comma separated
    QString bindAddress;      // empty listens on every interface
    SpoolSync spoolSync = SpoolSync::Full;
    int maxAgeMinutes = 1440;
    int spoolMaxPending = 100000;
    int historyDays = 90;
    QString fallbackProviderID;
    // The chain of delivery paths as typed ("GSMModem + GSMModem-2 > SmsRU",
    // DeliveryPaths); empty: currentProviderID, then fallbackProviderID.
    QString deliveryPaths;
    int fallbackAfterSeconds = DefaultFallbackAfterSeconds;
    // Ask the network for a status report of every SMS the modem sends, and
    // how long a report may keep a record waiting before the fallback takes it.
    bool deliveryReports = false;
    int deliveryReportTimeoutMinutes = DefaultReportTimeoutMinutes;
    QByteArray stationCodePage = "Windows-1251";
    // Where the metrics for Prometheus go; empty: node-exporter's folder when it exists.
    QString metricsFile;
    // Qt logging rules for the service's categories ("zelsms.modem.debug=true"),
    // one per line as QLoggingCategory::setFilterRules() takes them; typed
    // separated by commas, semicolons or spaces. Empty: every level of every
    // category is logged. QT_LOGGING_RULES still overrides them.
    QString logRules;

    // One line per refused value, in reading order, e.g. `значение historyDays
    // = "0" не принято, используется 90`.
    QStringList problems;

    // The system-scope settings file of the service (native format; where it
    // lives follows SettingsLocation).
    static std::unique_ptr<QSettings> openSystem();

    static ServiceSettings read(QSettings &system);

    // The keys both programs write: SettingsSaved (always true),
    // currentProviderID, serviceEnabled, pcnIpAddress and pcnPort.
    void write(QSettings &system) const;
    // The fallback's keys, written by the configuration program only.
    void writeFallback(QSettings &system) const;
    // deliveryPaths, written by the configuration program only when the
    // administrator set a chain; an empty one removes the key.
    void writeDeliveryPaths(QSettings &system) const;
    // The delivery-report keys, written by the configuration program only.
    void writeDeliveryReports(QSettings &system) const;

    // Settings saved per user by an old version are copied into system scope
    // once, when system scope has none saved and user scope has; the copy is
    // made private to its owner. False when the copy could not be written.
    static bool copyUserSettingsOnce(QSettings &system);
};
