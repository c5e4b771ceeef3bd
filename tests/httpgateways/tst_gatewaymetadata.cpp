#include "icommonsmsinterface.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QPluginLoader>
#include <QtTest>

// The built plug-in files as the service and the configuration program see
// them: embedded metadata, the root object's casts and its parameter 1.
class TstGatewayMetadata : public QObject
{
    Q_OBJECT

private slots:
    void metadata_data();
    void metadata();
};

void TstGatewayMetadata::metadata_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("providerId");
    QTest::addColumn<QString>("displayName");
    QTest::addColumn<QString>("regKey");
    QTest::addColumn<QString>("interface");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("flags"); // balance_info batch_send russian_text sender_id translit
    QTest::addColumn<QStringList>("fields");

    const QStringList base{"login:String:Логин", "password:String:Пароль",
                           "senderID:String:Отправитель SMS"};
    const QString flash = "flashSms:Bool:Не сохранять SMS (flash-SMS)";
    QTest::newRow("iqsms") << PLUGIN_IQSMS << "PROV_iqSms"
                           << "ZEL_SMS_PROVIDER_IQSMS" << QString::fromUtf8("CMC Дисконт")
                           << "iqSms"
                           << "REST-API (JSON)"
                           << "1.0"
                           << "11110" << (base + QStringList{flash});
    QTest::newRow("prostorsms") << PLUGIN_PROSTORSMS << "PROV_ProstorSms"
                                << "ZEL_SMS_PROVIDER_PROSTORSMS"
                                << "Prostor-SMS"
                                << "ProstorSms"
                                << "REST-API (JSON)"
                                << "1.0"
                                << "11110" << base;
    QTest::newRow("smscenter") << PLUGIN_SMSCENTER << "PROV_SmsCenter"
                               << "ZEL_SMS_PROVIDER_SMSCENTER" << QString::fromUtf8("SMS ЦЕНТР")
                               << "SmsCenter"
                               << "REST-API"
                               << "1.0"
                               << "11111"
                               << (base +
                                   QStringList{flash, "translit:Bool:Использовать транслит"});
    QTest::newRow("esputnik") << PLUGIN_ESPUTNIK << "PROV_eSputnik_v1"
                              << "ZEL_SMS_PROVIDER_ESPUTNIK_V1"
                              << "eSputnik SMS, API 1.0"
                              << "eSputnik_v1"
                              << "REST-API (JSON)"
                              << "1.0"
                              << "10110" << base;
    QTest::newRow("smsgorod") << PLUGIN_SMSGOROD << "PROV_SmsGorod"
                              << "ZEL_SMS_PROVIDER_SMSGOROD"
                              << "SmsGorod"
                              << "SmsGorod"
                              << "REST-API (XML)"
                              << "1.0"
                              << "11110"
                              << (base + QStringList{"channel:Enum:Выбор канала", flash});
    QTest::newRow("epochta") << PLUGIN_EPOCHTA << "PROV_ePochta_v2"
                             << "ZEL_SMS_PROVIDER_EPOCHTA_V2"
                             << "ePochta SMS, API 2.0"
                             << "ePochta_v2"
                             << "REST-API (XML)"
                             << "1.01"
                             << "10110" << base;
}

void TstGatewayMetadata::metadata()
{
    QFETCH(QString, file);
    QFETCH(QString, className);
    QFETCH(QString, providerId);
    QFETCH(QString, displayName);
    QFETCH(QString, regKey);
    QFETCH(QString, interface);
    QFETCH(QString, version);
    QFETCH(QString, flags);
    QFETCH(QStringList, fields);

    QPluginLoader loader(file);
    const QJsonObject top = loader.metaData();
    QCOMPARE(top.value("IID").toString(), QString(ICommonSmsInterface_iid));
    QCOMPARE(top.value("className").toString(), className);
    const QJsonObject meta = top.value("MetaData").toObject();
    QCOMPARE(meta.value("provider_id").toString(), providerId);
    QCOMPARE(meta.value("display_name").toString(), displayName);

    const QJsonObject info = meta.value("provider_info").toObject();
    QCOMPARE(info.value("providerRegKey").toString(), regKey);
    QCOMPARE(info.value("interface").toString(), interface);
    QCOMPARE(info.value("plugin_version").toString(), version);
    QVERIFY(info.value("url").toString().startsWith("http"));
    const char *const flagKeys[] = {"balance_info", "batch_send", "russian_text", "sender_id",
                                    "translit"};
    for (int i = 0; i < 5; ++i) {
        QVERIFY2(info.value(flagKeys[i]).isBool(), flagKeys[i]);
        QCOMPARE(info.value(flagKeys[i]).toBool(), flags.at(i) == '1');
    }

    QStringList got;
    for (const QJsonValue &v : meta.value("settings_template").toArray()) {
        const QJsonObject field = v.toObject();
        got << field.value("field").toString() + ":" + field.value("type").toString() + ":" +
                   field.value("ru_text").toString();
        if (field.value("field").toString() == "senderID")
            QCOMPARE(field.value("validator").toString(), QString("^[a-zA-Z0-9.&-\\s]{0,11}$"));
        if (field.value("type").toString() == "Enum") {
            QCOMPARE(field.value("items").toArray(),
                     QJsonArray({QString::fromUtf8("Прямой"), QString::fromUtf8("Цифровой")}));
            QCOMPARE(field.value("value").toInt(-1), 0);
        }
    }
    QCOMPARE(got, fields);

    QObject *root = loader.instance();
    QVERIFY2(root, qPrintable(loader.errorString()));
    QVERIFY(root->qt_metacast(qPrintable(className)));
    QVERIFY(root->qt_metacast("BasicSmsRestProvider"));
    QVERIFY(root->qt_metacast("ICommonSmsInterface"));
    auto *provider = qobject_cast<ICommonSmsInterface *>(root);
    QVERIFY(provider);
    QCOMPARE(provider->parameter(ParamProviderId).toString(), providerId);
    QCOMPARE(provider->parameter(ParamBatchSend).toBool(), flags.at(1) == '1');
    QCOMPARE(loader.instance(), root); // one root object per plug-in
}

QTEST_GUILESS_MAIN(TstGatewayMetadata)
#include "tst_gatewaymetadata.moc"
