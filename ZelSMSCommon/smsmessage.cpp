#include "smsmessage.h"

#include "logcategories.h"
#include "servicesettings.h"

#include <QDebug>
#include <QSettings>
#include <QTextCodec>
#include <cstring>
#include <mutex>

namespace SmsText {

namespace {
QByteArray &codePageOverride()
{
    static QByteArray name;
    return name;
}
} // namespace

int registerSmsMessageType()
{
    static const int id = qRegisterMetaType<SMSMessage>("SMSMessage");
    return id;
}

SMSMessage makeMessage(const QByteArray &phone, const QByteArray &textBytes, uint8_t encoding)
{
    SMSMessage msg;
    std::memset(&msg, 0, sizeof msg);
    std::memcpy(msg.phone, phone.constData(),
                size_t(qMin(phone.size(), int(SMSMessage::PhoneSize))));
    const int n = qMin(textBytes.size(), int(SMSMessage::TextSize));
    std::memcpy(msg.text, textBytes.constData(), size_t(n));
    msg.textLength = uint16_t(n);
    msg.encoding = encoding;
    return msg;
}

bool sameMessage(const SMSMessage &a, const SMSMessage &b)
{
    return std::memcmp(a.phone, b.phone, sizeof a.phone) == 0 &&
           std::memcmp(a.text, b.text, sizeof a.text) == 0;
}

int safeTextLength(const SMSMessage &msg)
{
    return qMin(int(msg.textLength), int(SMSMessage::TextSize));
}

QByteArray phoneBytes(const SMSMessage &msg)
{
    const void *zero = std::memchr(msg.phone, 0, sizeof msg.phone);
    const int n = zero ? int(static_cast<const char *>(zero) - msg.phone) : int(sizeof msg.phone);
    return QByteArray(msg.phone, n);
}

QString phoneText(const SMSMessage &msg)
{
    return decodeStationText(phoneBytes(msg));
}

QString messageText(const SMSMessage &msg)
{
    const int n = safeTextLength(msg);
    QString text;
    switch (msg.encoding) {
    case SMSMessage::EncodingUtf8:
        text = QString::fromUtf8(msg.text, n);
        break;
    case SMSMessage::EncodingUtf16: {
        // The station sends UTF-16LE; an odd trailing byte is not a code unit.
        text.reserve(n / 2);
        for (int i = 0; i + 1 < n; i += 2)
            text.append(QChar(ushort(uchar(msg.text[i]) | (uchar(msg.text[i + 1]) << 8))));
        break;
    }
    default:
        text = decodeStationText(QByteArray(msg.text, n));
        break;
    }
    return cleanText(text);
}

QString cleanText(const QString &decoded)
{
    QString text = decoded;
    // Several encoders and C APIs on the way to the handset stop at a zero
    // character, so one path would send a shortened alarm while the others
    // send it whole; the length field is what counts, the zero becomes a blank.
    text.replace(QChar(0), QLatin1Char(' '));
    // A lone surrogate is no character: strict JSON and XML readers refuse
    // the whole request for it, and the PDU would carry a broken unit.
    QChar *d = text.data();
    const int size = text.size();
    for (int i = 0; i < size; ++i) {
        if (d[i].isHighSurrogate() && i + 1 < size && d[i + 1].isLowSurrogate())
            ++i;
        else if (d[i].isSurrogate())
            d[i] = QChar(QChar::ReplacementCharacter);
    }
    return text;
}

QString formatPhone(const SMSMessage &msg, const QString &prefix)
{
    const QString number = phoneText(msg);
    return prefix + (number.size() > 10 ? number.right(10) : number);
}

QByteArray stationCodePage()
{
    if (!codePageOverride().isEmpty())
        return codePageOverride();
    static const QByteArray fromSettings = [] {
        return ServiceSettings::read(*ServiceSettings::openSystem()).stationCodePage;
    }();
    return fromSettings;
}

void setStationCodePage(const QByteArray &name)
{
    codePageOverride() = name;
}

QString decodeStationText(const QByteArray &bytes)
{
    // A lookup by name costs more than decoding a whole SMS; the name rarely
    // changes, so the last answer is kept. Not per thread: every plug-in links
    // its own copy of this, and an unloaded plug-in's thread-local block stays
    // behind in the thread's TLS table as a dangling entry (the leak check at
    // exit crashed on it).
    static std::mutex lock;
    static QByteArray cachedName;
    static QTextCodec *cachedCodec = nullptr;
    const QByteArray name = stationCodePage();
    QTextCodec *codec;
    {
        const std::lock_guard<std::mutex> guard(lock);
        if (!cachedCodec || name != cachedName) {
            cachedCodec = QTextCodec::codecForName(name);
            if (!cachedCodec) {
                qCWarning(lcStation).noquote()
                    << "[SmsText::decodeStationText()]: unknown code page" << name
                    << "- using Windows-1251";
                cachedCodec = QTextCodec::codecForName("Windows-1251");
            }
            cachedName = name;
        }
        codec = cachedCodec;
    }
    return codec->toUnicode(bytes);
}

} // namespace SmsText
