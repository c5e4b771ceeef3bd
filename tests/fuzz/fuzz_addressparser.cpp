// The settings' addresses: station, bind address, allow-list entries.
// Properties: an accepted address is exactly one of error or address; an
// accepted IPv4 address is written back as the text it was read from (so no
// second reading of that text exists); nothing accepted is also a host name;
// an accepted range contains its own address and has a prefix its family
// allows; "/N" without an address is never accepted; every error names the
// field, quotes the text and stays one line.
#include "addressparser.h"
#include "fuzzsupport.h"
#include "logtext.h"

namespace {

const QString Field = QStringLiteral("Common/stationAllowList");

void checkError(const QString &error)
{
    FUZZ_CHECK(error.startsWith(Field + QStringLiteral(": значение \"")));
    FUZZ_CHECK(LogText::isClean(error));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzSupport::silenceLog();
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char *>(data), int(qMin<size_t>(size, 512)));
    const QString t = text.trimmed();

    const AddressParser::Address a = AddressParser::parseAddress(text, Field);
    FUZZ_CHECK(a.ok() != a.address.isNull());
    if (a.ok()) {
        FUZZ_CHECK(!AddressParser::isHostName(t));
        if (a.address.protocol() == QAbstractSocket::IPv4Protocol)
            FUZZ_CHECK(a.address.toString() == t);
        else
            FUZZ_CHECK(a.address.protocol() == QAbstractSocket::IPv6Protocol);
    } else {
        checkError(a.error);
    }

    const AddressParser::Range r = AddressParser::parseRange(text, Field);
    if (!r.ok()) {
        checkError(r.error);
        FUZZ_CHECK(r.prefix == -1 && !r.contains(QHostAddress(QStringLiteral("10.0.0.1"))));
        return 0;
    }
    FUZZ_CHECK(!t.startsWith(QLatin1Char('/')));
    const int max = r.address.protocol() == QAbstractSocket::IPv4Protocol ? 32 : 128;
    FUZZ_CHECK(r.prefix >= 0 && r.prefix <= max);
    FUZZ_CHECK(r.contains(r.address));
    if (!t.contains(QLatin1Char('/'))) {
        FUZZ_CHECK(a.ok() && r.prefix == max);
        FUZZ_CHECK(a.address.isEqual(r.address));
    }
    return 0;
}
