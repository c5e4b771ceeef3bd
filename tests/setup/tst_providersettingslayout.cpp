#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

#include "providersettingslayout.h"

// Two groups, one nested in another, and top-level fields around them.
static QJsonValue layoutTemplate()
{
    const QByteArray json = R"([
      {"field":"comPort","type":"Enum","items":[]},
      {"field":"ModemSettings","type":"Group","sub_fields":[
        {"field":"pinCode","type":"String"},
        {"field":"Line","type":"Group","sub_fields":[{"field":"baudRate","type":"UInt"}]}]},
      {"field":"flashSms","type":"Bool"},
      {"field":"broken","sub_fields":[]}
    ])";
    return QJsonDocument::fromJson(json).array();
}

class tst_ProviderSettingsLayout : public QObject
{
    Q_OBJECT
private slots:
    void storedKeys();
    void toFormValues_data();
    void toFormValues();
    void roundTrip();
};

void tst_ProviderSettingsLayout::storedKeys()
{
    const QMap<QString, QString> keys = ProviderSettingsLayout::storedKeys(layoutTemplate());
    const QMap<QString, QString> expected{{"comPort", "comPort"},
                                          {"pinCode", "ModemSettings/pinCode"},
                                          {"baudRate", "ModemSettings/Line/baudRate"},
                                          {"flashSms", "flashSms"}};
    QCOMPARE(keys, expected);
    QVERIFY(ProviderSettingsLayout::storedKeys(QJsonValue("not an array")).isEmpty());
}

void tst_ProviderSettingsLayout::toFormValues_data()
{
    QTest::addColumn<QVariantMap>("stored");
    QTest::addColumn<QVariantMap>("form");
    QTest::newRow("nested-keys") << QVariantMap{{"ModemSettings/pinCode", "1234"},
                                                {"ModemSettings/Line/baudRate", 9600}}
                                 << QVariantMap{{"pinCode", "1234"}, {"baudRate", 9600}};
    QTest::newRow("flat-legacy-keys") << QVariantMap{{"pinCode", "1111"}, {"flashSms", true}}
                                      << QVariantMap{{"pinCode", "1111"}, {"flashSms", true}};
    QTest::newRow("nested-wins-over-flat")
        << QVariantMap{{"pinCode", "1111"}, {"ModemSettings/pinCode", "2222"}}
        << QVariantMap{{"pinCode", "2222"}};
    QTest::newRow("unknown-keys-pass-through")
        << QVariantMap{{"comPortHWID", "USB\\A1"}, {"Old/thing", 3}}
        << QVariantMap{{"comPortHWID", "USB\\A1"}, {"Old/thing", 3}};
    QTest::newRow("empty") << QVariantMap() << QVariantMap();
}

void tst_ProviderSettingsLayout::toFormValues()
{
    QFETCH(QVariantMap, stored);
    QTEST(ProviderSettingsLayout::toFormValues(stored, layoutTemplate()), "form");
}

void tst_ProviderSettingsLayout::roundTrip()
{
    const QVariantMap form{{"comPort", "/dev/ttyUSB0"},
                           {"comPortHWID", "USB\\A1"},
                           {"pinCode", "1234"},
                           {"baudRate", 57600},
                           {"flashSms", false}};
    const QVariantMap stored = ProviderSettingsLayout::toStoredValues(form, layoutTemplate());
    const QVariantMap expected{{"comPort", "/dev/ttyUSB0"},
                               {"comPortHWID", "USB\\A1"},
                               {"ModemSettings/pinCode", "1234"},
                               {"ModemSettings/Line/baudRate", 57600},
                               {"flashSms", false}};
    QCOMPARE(stored, expected);
    QCOMPARE(ProviderSettingsLayout::toFormValues(stored, layoutTemplate()), form);
}

QTEST_MAIN(tst_ProviderSettingsLayout)
#include "tst_providersettingslayout.moc"
