#include "serialhardwareid.h"

#include <QList>

namespace SerialHardwareId {

namespace {

QMap<QString, QString> parseKeyValueLines(const QByteArray &text, const QByteArray &prefix)
{
    QMap<QString, QString> result;
    const QList<QByteArray> lines = text.split('\n');
    for (QByteArray line : lines) {
        line = line.trimmed();
        if (!line.startsWith(prefix))
            continue;
        line = line.mid(prefix.size());
        const int eq = line.indexOf('=');
        if (eq <= 0)
            continue;
        result.insert(QString::fromUtf8(line.left(eq)), QString::fromUtf8(line.mid(eq + 1)));
    }
    return result;
}

// Serial numbers come straight from the device's descriptor and may hold
// characters that would break the id's layout; Windows drops such serials,
// we keep them readable instead.
QString sanitisedSerial(const QString &serial)
{
    QString out;
    out.reserve(serial.size());
    for (const QChar c : serial)
        out += (c.unicode() <= 0x20 || c.unicode() >= 0x7f || c == QLatin1Char('\\'))
                   ? QLatin1Char('_')
                   : c;
    return out;
}

QString hex4(int value)
{
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0')).toUpper();
}

// Splits "ttyUSB12" into "ttyUSB" and 12; a name without trailing digits has -1.
void splitName(const QString &name, QString &stem, qlonglong &number)
{
    int i = name.size();
    while (i > 0 && name.at(i - 1).isDigit())
        --i;
    stem = name.left(i);
    bool ok = false;
    number = (i < name.size()) ? name.mid(i).toLongLong(&ok) : -1;
    if (!ok)
        number = -1;
}

} // namespace

QMap<QString, QString> parseUdevProperties(const QByteArray &record)
{
    return parseKeyValueLines(record, "E:");
}

QMap<QString, QString> parseUevent(const QByteArray &text)
{
    return parseKeyValueLines(text, QByteArray());
}

int parseHexAttribute(const QByteArray &text)
{
    QByteArray t = text.trimmed();
    if (t.startsWith("0x") || t.startsWith("0X"))
        t = t.mid(2);
    if (t.isEmpty() || t.size() > 8)
        return -1;
    bool ok = false;
    const int v = t.toInt(&ok, 16);
    return ok && v >= 0 ? v : -1;
}

QString usbHardwareId(int vendorId, int productId, int interfaceNumber, const QString &serial)
{
    if (vendorId < 0 || vendorId > 0xffff || productId < 0 || productId > 0xffff)
        return QString();
    QString id = QStringLiteral("USB\\VID_%1&PID_%2").arg(hex4(vendorId), hex4(productId));
    if (interfaceNumber >= 0 && interfaceNumber <= 0xff)
        id += QStringLiteral("&MI_%1").arg(interfaceNumber, 2, 16, QLatin1Char('0')).toUpper();
    const QString s = sanitisedSerial(serial.trimmed());
    if (!s.isEmpty())
        id += QLatin1Char('\\') + s;
    return id;
}

QString pciHardwareId(int vendorId, int deviceId)
{
    if (vendorId < 0 || vendorId > 0xffff || deviceId < 0 || deviceId > 0xffff)
        return QString();
    return QStringLiteral("PCI\\VEN_%1&DEV_%2").arg(hex4(vendorId), hex4(deviceId));
}

QString acpiHardwareId(const QString &firmwareId)
{
    const QString id = firmwareId.trimmed();
    return id.isEmpty() ? QString() : QStringLiteral("ACPI\\") + sanitisedSerial(id);
}

bool portNameLess(const QString &a, const QString &b)
{
    QString stemA, stemB;
    qlonglong numA, numB;
    splitName(a, stemA, numA);
    splitName(b, stemB, numB);
    if (stemA != stemB)
        return stemA < stemB;
    if (numA != numB)
        return numA < numB;
    return a < b;
}

} // namespace SerialHardwareId
