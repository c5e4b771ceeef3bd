// The modem provider's settings as read from a settings file of any content,
// through QSettings as the provider reads its group.
// Properties: every number lands within its range; the provider refuses to
// start exactly when the PIN is neither empty nor 4 to 8 digits; a control SMS
// number is empty or "8" and ten digits.
#include "fuzzsupport.h"
#include "gsmmodemctrl.h"
#include "modemsettings.h"

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzSupport::silenceLog();
    static QTemporaryDir dir;
    static int serial = 0;
    // A new name each time: QSettings caches a file it has read by its name.
    const QString path = dir.filePath(QStringLiteral("SMSProviders-%1.conf").arg(++serial));
    {
        QFile file(path);
        FUZZ_CHECK(file.open(QIODevice::WriteOnly));
        file.write(reinterpret_cast<const char *>(data), qint64(size));
    }
    QVariantMap stored;
    {
        QSettings settings(path, QSettings::IniFormat);
        settings.beginGroup(QStringLiteral("GSMModem"));
        const QStringList keys = settings.allKeys();
        for (const QString &key : keys)
            stored.insert(key, settings.value(key));
    }
    QFile::remove(path);

    const ModemSettings s = ModemSettings::fromStored(stored, QStringLiteral("GSMModem"));
    FUZZ_CHECK(s.baudRate >= 50 && s.baudRate <= 4000000);
    FUZZ_CHECK(s.parityIndex >= 0 && s.parityIndex <= 4);
    FUZZ_CHECK(s.stopBitsIndex >= 0 && s.stopBitsIndex <= 2);
    FUZZ_CHECK(s.flowControl >= 0 && s.flowControl <= 2);
    FUZZ_CHECK(s.dataBits >= 5 && s.dataBits <= 8);
    FUZZ_CHECK(s.ctrlSmsIntervalHours >= 1);
    FUZZ_CHECK(s.comPort == s.comPort.trimmed());
    FUZZ_CHECK(s.errors.isEmpty() == (s.pinCode.isEmpty() || GSMModemCtrl::isValidPin(s.pinCode)));
    const QString number = ModemFormat::smsNumber(s.ctrlSmsNum);
    FUZZ_CHECK(number.isEmpty() || (number.size() == 11 && number.startsWith(QLatin1Char('8'))));
    return 0;
}
