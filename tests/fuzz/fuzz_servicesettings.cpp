// The service's settings as read from a settings file of any content, through
// QSettings as the service and the configuration program read group Common.
// Properties: every number the service runs with is positive, the sync mode
// is one of the two, the station port is what the file says or the default;
// each refused value is described once in problems; reading twice gives the
// same; the addresses the settings hold go through the one address parser
// without a crash.
#include "addressparser.h"
#include "fuzzsupport.h"
#include "servicesettings.h"

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

namespace {

ServiceSettings readFile(const QString &path)
{
    QSettings settings(path, QSettings::IniFormat);
    return ServiceSettings::read(settings);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzSupport::silenceLog();
    static QTemporaryDir dir;
    static int serial = 0;
    // A new name each time: QSettings caches a file it has read by its name.
    const QString path = dir.filePath(QStringLiteral("ZelSMSService-%1.conf").arg(++serial));
    {
        QFile file(path);
        FUZZ_CHECK(file.open(QIODevice::WriteOnly));
        file.write(reinterpret_cast<const char *>(data), qint64(size));
    }
    const ServiceSettings s = readFile(path);
    const ServiceSettings again = readFile(path);
    QFile::remove(path);

    FUZZ_CHECK(s.maxAgeMinutes > 0 && s.spoolMaxPending > 0 && s.historyDays > 0);
    FUZZ_CHECK(s.fallbackAfterSeconds > 0);
    FUZZ_CHECK(s.spoolSync == ServiceSettings::SpoolSync::Full ||
               s.spoolSync == ServiceSettings::SpoolSync::Normal);
    FUZZ_CHECK(s.problems.size() <= 5);
    FUZZ_CHECK(again.problems == s.problems && again.pcnIpAddress == s.pcnIpAddress &&
               again.pcnPort == s.pcnPort && again.stationAllowList == s.stationAllowList &&
               again.bindAddress == s.bindAddress &&
               again.currentProviderID == s.currentProviderID);

    const QString field = QStringLiteral("Common/pcnIpAddress");
    const AddressParser::Address station = AddressParser::parseAddress(s.pcnIpAddress, field);
    FUZZ_CHECK(!(station.ok() && AddressParser::isHostName(s.pcnIpAddress.trimmed())));
    AddressParser::parseAddress(s.bindAddress, QStringLiteral("Common/bindAddress"));
    for (const QString &entry : s.stationAllowList.split(QLatin1Char(',')))
        AddressParser::parseRange(entry, QStringLiteral("Common/stationAllowList"));
    return 0;
}
