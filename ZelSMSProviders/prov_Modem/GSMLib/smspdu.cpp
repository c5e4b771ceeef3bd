#include "smspdu.h"

#include "smspdufields.h"

#include <QVector>

namespace SmsPdu {

using namespace Fields;

namespace {

// Header up to the data coding scheme; the first octet tells whether a
// user-data header follows.
QByteArray submitHeader(const char *firstOctet, const QByteArray &number, bool flash)
{
    QByteArray pdu = "00";
    pdu += firstOctet;
    pdu += "00";
    // The length is one octet; numbers of up to 15 digits give "0" and one
    // lower-case hex digit as the modem has always seen it.
    pdu += hexOctet(number.size());
    pdu += "81";
    pdu += semiOctets(number);
    pdu += "00";
    pdu += flash ? "18" : "08";
    return pdu;
}

} // namespace

bool isValidNumber(const QByteArray &number)
{
    if (number.isEmpty() || number.size() > 20)
        return false;
    for (char c : number)
        if (c < '0' || c > '9')
            return false;
    return true;
}

QByteArray buildPdu(const QByteArray &message, const QByteArray &number, bool flash,
                    bool statusReport)
{
    const QString text = QString::fromUtf8(message.constData(), message.size());
    const QByteArray userData = ucs2Hex(text.constData(), text.size());
    QByteArray pdu = submitHeader(statusReport ? "21" : "01", number, flash);
    pdu += hexOctet(userData.size() / 2);
    pdu += userData;
    return pdu;
}

QList<QByteArray> buildPduParts(const QByteArray &message, const QByteArray &number, bool flash,
                                quint8 reference, bool statusReport)
{
    const QString text = QString::fromUtf8(message.constData(), message.size());
    if (text.size() <= MaxSingleUnits)
        return {buildPdu(message, number, flash, statusReport)};

    QVector<QPair<int, int>> cuts; // start, count
    for (int start = 0; start < text.size();) {
        int count = qMin(MaxPartUnits, text.size() - start);
        if (start + count < text.size() && text.at(start + count - 1).isHighSurrogate())
            --count;
        cuts.append({start, count});
        start += count;
    }
    const int total = qMin(cuts.size(), 255);
    QList<QByteArray> parts;
    for (int i = 0; i < total; ++i) {
        const QByteArray userData = ucs2Hex(text.constData() + cuts[i].first, cuts[i].second);
        // 0x40: user data has a header; 0x20: status report requested
        QByteArray pdu = submitHeader(statusReport ? "61" : "41", number, flash);
        pdu += hexOctet(6 + userData.size() / 2);
        pdu += "050003" + upperHexOctet(reference) + upperHexOctet(total) + upperHexOctet(i + 1);
        pdu += userData;
        parts.append(pdu);
    }
    return parts;
}

int cmgsLength(const QByteArray &pdu)
{
    return pdu.size() / 2 - 1;
}

QByteArray decodeUcs2Hex(const QByteArray &hex)
{
    if (hex.size() < 4)
        return {};
    const int groups = hex.size() / 4;
    QVector<ushort> units;
    units.reserve(groups);
    for (int g = 0; g < groups; ++g) {
        ushort unit = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = hex[g * 4 + k];
            if (!isHex(c))
                return hex;
            unit = ushort(unit * 16 + QByteArray(1, c).toInt(nullptr, 16));
        }
        units.append(unit);
    }
    return QString::fromUtf16(units.constData(), units.size()).toUtf8();
}

QByteArray decodeSenderNumber(const QByteArray &pduHex)
{
    OctetReader r(pduHex.trimmed());
    const int smscLength = r.octet();
    r.take(smscLength * 2);
    r.octet(); // first octet
    return readAddress(r).text;
}

SubmitInfo decodeSubmitPdu(const QByteArray &pduHex)
{
    SubmitInfo info;
    OctetReader r(pduHex.trimmed());
    r.take(r.octet() * 2); // service centre
    const int first = r.octet();
    r.octet(); // message reference
    const int digits = r.octet();
    r.octet(); // type of address
    info.number = unswapDigits(r.take(((digits + 1) / 2) * 2), digits);
    r.octet(); // protocol identifier
    info.dataCoding = r.octet();
    const int validity = (first >> 3) & 3;
    r.take(validity == 2 ? 2 : validity ? 14 : 0);
    const int length = r.octet();
    if (r.failed()) {
        info.error = QStringLiteral("PDU too short");
        return info;
    }
    if ((first & 3) != 1) {
        info.error = QStringLiteral("not an SMS-SUBMIT");
        return info;
    }
    if ((info.dataCoding & 0x0C) != 0x08) {
        info.error = QStringLiteral("not UCS2");
        return info;
    }
    if (r.remaining() != length * 2) {
        info.error = QStringLiteral("user-data length %1 but %2 octets follow")
                         .arg(length)
                         .arg(r.remaining() / 2);
        return info;
    }
    info.flash = (info.dataCoding & 0x13) == 0x10;
    info.statusReport = first & 0x20;
    int dataOctets = length;
    if (first & 0x40) {
        const int headerLength = r.octet();
        OctetReader header(r.take(headerLength * 2));
        dataOctets -= headerLength + 1;
        while (!header.failed() && header.remaining() > 0) {
            const int id = header.octet();
            const int size = header.octet();
            const QByteArray value = header.take(size * 2);
            if ((id == 0 && size == 3) || (id == 8 && size == 4)) {
                OctetReader v(value);
                info.reference = id == 0 ? v.octet() : v.octet() * 256 + v.octet();
                info.partCount = v.octet();
                info.partNumber = v.octet();
                info.concatenated = true;
            }
        }
    }
    const QByteArray data = r.take(dataOctets * 2);
    if (r.failed() || dataOctets % 2) {
        info.error = QStringLiteral("malformed user data");
        return info;
    }
    const QByteArray utf8 = decodeUcs2Hex(data);
    info.text = QString::fromUtf8(utf8.constData(), utf8.size());
    info.ok = true;
    return info;
}

StatusReport decodeStatusReport(const QByteArray &pduHex)
{
    StatusReport report;
    OctetReader r(pduHex.trimmed());
    r.take(r.octet() * 2); // service centre
    const int first = r.octet();
    report.messageReference = r.octet();
    const Address recipient = readAddress(r);
    report.serviceCentreTime = readTimestamp(r);
    report.dischargeTime = readTimestamp(r);
    report.status = r.octet();
    if (r.failed()) {
        report.error = QStringLiteral("PDU too short or not hex");
        return report;
    }
    if ((first & 3) != 2) {
        report.error =
            QStringLiteral("not an SMS-STATUS-REPORT (first octet %1)").arg(first, 2, 16);
        return report;
    }
    if (recipient.text.isEmpty()) {
        report.error = QStringLiteral("malformed recipient address");
        return report;
    }
    report.recipient = recipient.text;
    report.international = recipient.international;
    report.ok = true;
    return report;
}

ReportClass classifyReportStatus(int status)
{
    // A value the standard reserves is read as "service rejected", a final
    // failure: an unknown status must never count as delivered. The values a
    // centre defines for itself (the upper half of each group) follow their
    // group: every group has such a range, so a centre that means failure has
    // its own failure values and one in the "completed" range means completed.
    // The two failure groups (0x40-0x7F) fail whatever their value.
    if ((status >= 0x00 && status <= 0x02) || (status >= 0x10 && status <= 0x1F))
        return ReportClass::Confirmed;
    if ((status >= 0x20 && status <= 0x25) || (status >= 0x30 && status <= 0x3F))
        return ReportClass::Waiting;
    return ReportClass::Failed;
}

QByteArray buildStatusReport(int messageReference, const QByteArray &recipient, bool international,
                             const QDateTime &serviceCentreTime, const QDateTime &dischargeTime,
                             int status)
{
    QByteArray pdu = "0006"; // no service centre; SMS-STATUS-REPORT, no more messages
    pdu += upperHexOctet(messageReference);
    pdu += upperHexOctet(recipient.size());
    pdu += international ? "91" : "81";
    pdu += semiOctets(recipient);
    pdu += timestampOctets(serviceCentreTime);
    pdu += timestampOctets(dischargeTime);
    pdu += upperHexOctet(status);
    return pdu;
}

QByteArray encodeUcs2Hex(const QString &text)
{
    return ucs2Hex(text.constData(), text.size());
}

} // namespace SmsPdu
