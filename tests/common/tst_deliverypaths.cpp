#include "deliverypaths.h"
#include "pluginfolder.h"
#include "zeltestmain.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

// The chain of delivery paths as an administrator types it, and how its
// groups are matched to the providers of a real plug-in folder.
class TestDeliveryPaths : public QObject
{
    Q_OBJECT
private slots:
    void parse_data();
    void parse();
    void resolve_data();
    void resolve();
    void olderSettings_data();
    void olderSettings();
};

void TestDeliveryPaths::parse_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("read"); // as text() gives it back
    QTest::addColumn<int>("problems");

    QTest::newRow("tiers") << " GSMModem+GSMModem-2 >SmsRU "
                           << "GSMModem + GSMModem-2 > SmsRU" << 0;
    QTest::newRow("blank") << "  "
                           << "" << 0;
    QTest::newRow("empty-name") << "A + > B"
                                << "A > B" << 1;
    QTest::newRow("empty-tier") << "A >> B"
                                << "A > B" << 1;
    QTest::newRow("named-twice") << "A + B > A"
                                 << "A + B" << 1;
    QTest::newRow("nesting-slash") << "GSMModem/x > SmsRU"
                                   << "SmsRU" << 1;
    QTest::newRow("blank-inside") << "GSM Modem"
                                  << "" << 1;
}

void TestDeliveryPaths::parse()
{
    QFETCH(QString, typed);
    QFETCH(QString, read);
    QFETCH(int, problems);
    QStringList found;
    const DeliveryPaths paths = DeliveryPaths::parse(typed, &found);
    QCOMPARE(paths.text(), read);
    QCOMPARE(found.size(), problems);
    for (const QString &p : qAsConst(found))
        QVERIFY2(p.contains(QLatin1String("deliveryPaths")), qPrintable(p));
    // What it gives back reads the same again.
    QCOMPARE(DeliveryPaths::parse(paths.text(), nullptr).text(), read);
}

void TestDeliveryPaths::resolve_data()
{
    QTest::addColumn<QString>("group");
    QTest::addColumn<QString>("ini"); // the group's lines; empty: no such group
    QTest::addColumn<QString>("provider");

    QTest::newRow("usual-group") << "GSMModem"
                                 << ""
                                 << "ZEL_SMS_PROVIDER_MODEM";
    // Its usual group names the provider whatever the group says.
    QTest::newRow("usual-group-own-key") << "SmsRU"
                                         << "providerID=ZEL_SMS_PROVIDER_MODEM"
                                         << "ZEL_SMS_PROVIDER_SMSRU";
    QTest::newRow("second-modem") << "GSMModem-2"
                                  << "providerID=ZEL_SMS_PROVIDER_MODEM"
                                  << "ZEL_SMS_PROVIDER_MODEM";
    QTest::newRow("missing-group") << "GSMModem-3"
                                   << ""
                                   << "";
    QTest::newRow("no-provider-key") << "Spare"
                                     << "login=x"
                                     << "";
    QTest::newRow("unknown-provider") << "Spare"
                                      << "providerID=ZEL_SMS_PROVIDER_NONE"
                                      << "";
}

void TestDeliveryPaths::resolve()
{
    QFETCH(QString, group);
    QFETCH(QString, ini);
    QFETCH(QString, provider);
    QTemporaryDir dir;
    QFile file(dir.filePath("SMSProviders.conf"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    if (!ini.isEmpty())
        file.write(QStringLiteral("[%1]\n%2\n").arg(group, ini).toUtf8());
    file.close();
    const QSettings providers(file.fileName(), QSettings::IniFormat);
    const PluginFolder folder(QStringLiteral(PROVIDER_DIR));

    QStringList problems;
    DeliveryPaths paths = DeliveryPaths::parse(group, &problems);
    paths.resolve(folder, providers, &problems);
    QCOMPARE(paths.all().value(0).providerId, provider);
    QCOMPARE(problems.size(), provider.isEmpty() ? 1 : 0);
    if (provider.isEmpty())
        QVERIFY2(problems[0].contains(group), qPrintable(problems[0]));
}

void TestDeliveryPaths::olderSettings_data()
{
    QTest::addColumn<QString>("current");
    QTest::addColumn<QString>("fallback");
    QTest::addColumn<QString>("chain");

    QTest::newRow("primary-and-fallback") << "ZEL_SMS_PROVIDER_MODEM"
                                          << "ZEL_SMS_PROVIDER_SMSRU"
                                          << "GSMModem > SmsRU";
    QTest::newRow("fallback-is-primary") << "ZEL_SMS_PROVIDER_SMSRU"
                                         << "ZEL_SMS_PROVIDER_SMSRU"
                                         << "SmsRU";
    QTest::newRow("no-primary") << ""
                                << "ZEL_SMS_PROVIDER_SMSRU"
                                << " > SmsRU";
    QTest::newRow("not-in-folder") << "ZEL_SMS_PROVIDER_GONE"
                                   << ""
                                   << "ZEL_SMS_PROVIDER_GONE";
}

void TestDeliveryPaths::olderSettings()
{
    QFETCH(QString, current);
    QFETCH(QString, fallback);
    QFETCH(QString, chain);
    const DeliveryPaths paths =
        DeliveryPaths::fromProviders(current, fallback, PluginFolder(QStringLiteral(PROVIDER_DIR)));
    QCOMPARE(paths.text(), chain);
    QVERIFY(!paths.isExplicit);
    for (const DeliveryPath &p : paths.all())
        QCOMPARE(p.providerId.isEmpty(), p.group.isEmpty());
}

ZEL_TEST_MAIN(TestDeliveryPaths)
#include "tst_deliverypaths.moc"
