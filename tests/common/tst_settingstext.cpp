#include "logcapture.h"
#include "providersettingsgroup.h"
#include "settingstext.h"
#include "zeltestmain.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtTest>

// Values an administrator types with a comma, read from a real INI file by
// the paths the service's readers and the configuration program take, and
// saved back by the configuration program the way it saves them.
class TestSettingsText : public QObject
{
    Q_OBJECT
private slots:
    void commaValueReadAsTyped_data();
    void commaValueReadAsTyped();
};

void TestSettingsText::commaValueReadAsTyped_data()
{
    QTest::addColumn<QString>("group");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QByteArray>("line"); // as typed after "key="
    QTest::addColumn<QString>("text");    // empty: not usable, warned about

    QTest::newRow("modem-reset-command")
        << "GSMModem"
        << "ModemSettings/resetCommand" << QByteArray("AT+CFUN=1,1") << "AT+CFUN=1,1";
    QTest::newRow("modem-ussd-request") << "GSMModem"
                                        << "balancePhone" << QByteArray("*102*1,2#") << "*102*1,2#";
    QTest::newRow("modem-control-sms-number")
        << "GSMModem"
        << "CtrlSmsSettings/ctrlSmsNum" << QByteArray("+7900,1") << "+7900,1";
    QTest::newRow("gateway-password") << "SmsGorod"
                                      << "password" << QByteArray("a,b,,c") << "a,b,,c";
    QTest::newRow("gateway-sender") << "SmsCenter"
                                    << "senderID" << QByteArray("ZEL,Alarm") << "ZEL,Alarm";
    QTest::newRow("gateway-api-key") << "SmsRU"
                                     << "apiKey" << QByteArray("AB,CD") << "AB,CD";
    QTest::newRow("not-a-text") << "SmsRU"
                                << "login" << QByteArray("@Rect(1 2 3 4)") << "";
}

void TestSettingsText::commaValueReadAsTyped()
{
    QFETCH(QString, group);
    QFETCH(QString, key);
    QFETCH(QByteArray, line);
    QFETCH(QString, text);

    const QString file = ProviderSettingsGroup::settingsFile();
    QVERIFY(QDir().mkpath(QFileInfo(file).absolutePath()));
    QFile ini(file);
    QVERIFY(ini.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ini.write("[" + group.toLatin1() + "]\n" + key.toLatin1().replace('/', '\\') + "=" + line +
              "\n");
    ini.close();

    // The modem's reader and the configuration program's form take values().
    QCOMPARE(ProviderSettingsGroup(group).values().value(key).toString(), text);
    LogCapture log(LogCapture::Quiet);
    QCOMPARE(SettingsText::read(ProviderSettingsGroup(group), key), text);
    if (text.isEmpty()) {
        QVERIFY(log.contains(QtWarningMsg, group + QLatin1Char('/') + key));
        return;
    }
    QVERIFY(log.entries().isEmpty());
    {
        ProviderSettingsGroup saved(group);
        saved.setValue(key, ProviderSettingsGroup(group).values().value(key));
    }
    QCOMPARE(SettingsText::read(ProviderSettingsGroup(group), key), text);
    QCOMPARE(ProviderSettingsGroup(group).value(key).toString(), text); // quoted on the way out
}

ZEL_TEST_MAIN(TestSettingsText)
#include "tst_settingstext.moc"
