#include "settingslocation.h"
#include "smsmessage.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>
#include <cstring>

namespace {

SMSMessage record(const QByteArray &phone, const QByteArray &text, int textLength, int encoding)
{
    SMSMessage m = SmsText::makeMessage(phone, text, uint8_t(encoding));
    m.textLength = uint16_t(textLength);
    return m;
}

} // namespace

class tst_SmsMessage : public QObject
{
    Q_OBJECT
private slots:
    void layout();
    void metatype();
    void messageText_data();
    void messageText();
    void phone_data();
    void phone();
    void sameMessage_data();
    void sameMessage();
    void codePageFromSettings();
    void unknownCodePageFallsBackTo1251();
};

void tst_SmsMessage::layout()
{
    QCOMPARE(sizeof(SMSMessage), size_t(242));
    QCOMPARE(offsetof(SMSMessage, text), size_t(15));
    QCOMPARE(offsetof(SMSMessage, textLength), size_t(239));
    QCOMPARE(offsetof(SMSMessage, encoding), size_t(241));
}

void tst_SmsMessage::metatype()
{
    const int id = SmsText::registerSmsMessageType();
    QCOMPARE(SmsText::registerSmsMessageType(), id);
    QCOMPARE(QMetaType::type("SMSMessage"), id);
    const SMSMessage m = SmsText::makeMessage("123", "abc", 1);
    const SMSMessage back = QVariant::fromValue(m).value<SMSMessage>();
    QCOMPARE(std::memcmp(&m, &back, sizeof m), 0);
}

void tst_SmsMessage::messageText_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("textLength");
    QTest::addColumn<int>("encoding");
    QTest::addColumn<QString>("expected");

    const QString privet = QStringLiteral("Привет");
    QTest::newRow("utf8-cyrillic") << privet.toUtf8() << privet.toUtf8().size() << 1 << privet;
    QTest::newRow("utf8-length-shorter-than-bytes") << QByteArray("hello") << 3 << 1 << "hel";
    QByteArray utf16;
    for (QChar c : privet)
        utf16.append(char(c.unicode() & 0xff)).append(char(c.unicode() >> 8));
    QTest::newRow("utf16le-cyrillic") << utf16 << utf16.size() << 2 << privet;
    QTest::newRow("utf16-odd-length-drops-half-unit")
        << utf16 << utf16.size() - 1 << 2 << privet.left(privet.size() - 1);
    QTest::newRow("utf16-length-1") << utf16 << 1 << 2 << QString();
    const QByteArray cp1251 = QByteArray::fromHex("cff0e8e2e5f2"); // "Привет"
    // No "Common/stationCodePage" in this process's settings: the default applies.
    QTest::newRow("code-page-0-is-1251") << cp1251 << 6 << 0 << privet;
    QTest::newRow("code-page-3-is-1251") << cp1251 << 6 << 3 << privet;
    QTest::newRow("code-page-255-is-1251") << cp1251 << 6 << 255 << privet;
    QTest::newRow("length-beyond-record-clamped")
        << QByteArray(224, 'q') << 60000 << 1 << QString(224, QLatin1Char('q'));
    QTest::newRow("utf16-length-beyond-record")
        << QByteArray(224, 'A').replace(1, 1, "\0", 1) << 500 << 2
        << QString(112, QChar(0x4141)).replace(0, 1, QChar(0x0041));
    // Zero bytes inside the length are text: every encoder gets them as blanks.
    QTest::newRow("utf8-nul-inside-length-is-blank")
        << QByteArray("Fire\0zone 3", 11) << 11 << 1 << "Fire zone 3";
    QTest::newRow("code-page-nul-inside-length-is-blank")
        << QByteArray("\xcf\0\xf0", 3) << 3 << 0 << QStringLiteral("П р");
    QTest::newRow("utf16-nul-unit-is-blank") << QByteArray("O\0\0\0K\0", 6) << 6 << 2 << "O K";
    // Unpaired surrogates become U+FFFD; a proper pair stays.
    QTest::newRow("utf16-lone-high-at-end")
        << QByteArray("O\0K\0\x3d\xd8", 6) << 6 << 2 << QStringLiteral("OK\uFFFD");
    QTest::newRow("utf16-lone-low-first")
        << QByteArray("\x00\xdeO\0", 4) << 4 << 2 << QStringLiteral("\uFFFDO");
    QTest::newRow("utf16-high-high-low-keeps-pair")
        << QByteArray("\x3d\xd8\x3d\xd8\x00\xde", 6) << 6 << 2
        << QString(QChar(0xFFFD)) + QString::fromUcs4(U"\U0001F600");
}

void tst_SmsMessage::messageText()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, textLength);
    QFETCH(int, encoding);
    QFETCH(QString, expected);
    QCOMPARE(SmsText::messageText(record("1", bytes, textLength, encoding)), expected);
}

void tst_SmsMessage::phone_data()
{
    QTest::addColumn<QByteArray>("phoneField"); // exactly 15 bytes
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("formatted7");

    QTest::newRow("11-digits") << QByteArray("79001234567").append(QByteArray(4, '\0'))
                               << "79001234567"
                               << "79001234567";
    QTest::newRow("plus-12") << QByteArray("+79001234567").append(QByteArray(3, '\0'))
                             << "+79001234567"
                             << "79001234567";
    QTest::newRow("15-without-zero") << QByteArray("123456789012345") << "123456789012345"
                                     << "76789012345";
    QTest::newRow("short") << QByteArray("112").append(QByteArray(12, '\0')) << "112"
                           << "7112";
    QTest::newRow("garbage-after-zero")
        << QByteArray("900", 3).append('\0').append(QByteArray(11, 'X')) << "900"
        << "7900";
}

void tst_SmsMessage::phone()
{
    QFETCH(QByteArray, phoneField);
    QFETCH(QString, text);
    QFETCH(QString, formatted7);
    QCOMPARE(phoneField.size(), 15);
    SMSMessage m = SmsText::makeMessage("", "x", 1);
    std::memcpy(m.phone, phoneField.constData(), 15);
    m.text[0] = '5'; // directly after a phone without zero: must not leak in
    QCOMPARE(SmsText::phoneText(m), text);
    QCOMPARE(SmsText::formatPhone(m, QStringLiteral("7")), formatted7);
}

void tst_SmsMessage::sameMessage_data()
{
    QTest::addColumn<QByteArray>("phoneB");
    QTest::addColumn<QByteArray>("textB");
    QTest::addColumn<int>("lengthB");
    QTest::addColumn<int>("encodingB");
    QTest::addColumn<bool>("same");

    QTest::newRow("identical") << QByteArray("79001") << QByteArray("alarm") << 5 << 1 << true;
    QTest::newRow("length-differs") << QByteArray("79001") << QByteArray("alarm") << 3 << 1 << true;
    QTest::newRow("encoding-differs")
        << QByteArray("79001") << QByteArray("alarm") << 5 << 0 << true;
    QTest::newRow("other-number") << QByteArray("79002") << QByteArray("alarm") << 5 << 1 << false;
    QTest::newRow("byte-beyond-length-differs")
        << QByteArray("79001") << QByteArray("alarm!") << 5 << 1 << false;
}

void tst_SmsMessage::sameMessage()
{
    QFETCH(QByteArray, phoneB);
    QFETCH(QByteArray, textB);
    QFETCH(int, lengthB);
    QFETCH(int, encodingB);
    QFETCH(bool, same);
    const SMSMessage a = SmsText::makeMessage("79001", "alarm", 1);
    const SMSMessage b = record(phoneB, textB, lengthB, encodingB);
    QCOMPARE(SmsText::sameMessage(a, b), same);
    QCOMPARE(SmsText::sameMessage(b, a), same);
}

void tst_SmsMessage::codePageFromSettings()
{
    // The key is read once per process, so the check runs in a child whose
    // settings hold KOI8-R from its very start.
    if (qEnvironmentVariableIsEmpty("ZELSMS_TEST_CODEPAGE_KEY")) {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("ZELSMS_TEST_CODEPAGE_KEY", "KOI8-R");
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), {"codePageFromSettings"});
        QVERIFY(child.waitForFinished(30000));
        QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0,
                 child.readAllStandardOutput().constData());
        return;
    }
    QCOMPARE(SmsText::stationCodePage(), QByteArray("KOI8-R"));
    const QByteArray koi8 = QByteArray::fromHex("f0d2c9d7c5d4"); // "Привет" in KOI8-R
    QCOMPARE(SmsText::messageText(record("1", koi8, 6, 0)), QStringLiteral("Привет"));
    SmsText::setStationCodePage("Windows-1251");
    QCOMPARE(SmsText::messageText(record("1", QByteArray::fromHex("cff0e8e2e5f2"), 6, 0)),
             QStringLiteral("Привет"));
    SmsText::setStationCodePage(QByteArray());
    QCOMPARE(SmsText::stationCodePage(), QByteArray("KOI8-R"));
}

void tst_SmsMessage::unknownCodePageFallsBackTo1251()
{
    SmsText::setStationCodePage("No-Such-Code-Page");
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("unknown code page.*No-Such-Code-Page"));
    QCOMPARE(SmsText::messageText(record("1", QByteArray::fromHex("cff0e8e2e5f2"), 6, 0)),
             QStringLiteral("Привет"));
    SmsText::setStationCodePage(QByteArray());
}

int main(int argc, char *argv[])
{
    QTemporaryDir settings;
    qputenv("ZELSMS_SETTINGS_DIR", settings.path().toUtf8());
    SettingsLocation::applyFromEnvironment();
    const QString codePage = qEnvironmentVariable("ZELSMS_TEST_CODEPAGE_KEY");
    if (!codePage.isEmpty()) {
        QSettings s(QSettings::NativeFormat, QSettings::SystemScope, "ZELORG", "ZelSMSService");
        s.setValue("Common/stationCodePage", codePage);
    }
    QCoreApplication app(argc, argv);
    tst_SmsMessage t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_smsmessage.moc"
