#include "icommonsmsinterface.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QPluginLoader>
#include <QtTest>

// The built plug-in file as the service and the configuration program see it.
class TestModemPlugin : public QObject
{
    Q_OBJECT

private slots:
    void providerInfo_data();
    void providerInfo();
    void settingsTemplate_data();
    void settingsTemplate();
    void instanceAnswersInterface();

private:
    static QJsonObject metaData() { return QPluginLoader(PROV_MODEM_PLUGIN).metaData(); }
    static QJsonObject templateField(const QString &path);
};

void TestModemPlugin::providerInfo_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QJsonValue>("expected");
    QTest::newRow("provider_id") << "provider_id" << QJsonValue("ZEL_SMS_PROVIDER_MODEM");
    QTest::newRow("display_name") << "display_name" << QJsonValue(QString::fromUtf8("GSM Модем"));
    QTest::newRow("reg-key") << "providerRegKey" << QJsonValue("GSMModem");
    QTest::newRow("interface") << "interface" << QJsonValue(QString::fromUtf8("COM-порт"));
    QTest::newRow("version") << "plugin_version" << QJsonValue("1.0");
    QTest::newRow("url-empty") << "url" << QJsonValue("");
    QTest::newRow("balance_info") << "balance_info" << QJsonValue(true);
    QTest::newRow("batch_send") << "batch_send" << QJsonValue(false);
    QTest::newRow("russian_text") << "russian_text" << QJsonValue(true);
    QTest::newRow("sender_id") << "sender_id" << QJsonValue(false);
    QTest::newRow("translit") << "translit" << QJsonValue(false);
}

void TestModemPlugin::providerInfo()
{
    QFETCH(QString, key);
    QFETCH(QJsonValue, expected);
    const QJsonObject meta = metaData();
    QCOMPARE(meta.value("IID").toString(), QString(ICommonSmsInterface_iid));
    QCOMPARE(meta.value("className").toString(), QString("PROV_Modem"));
    const QJsonObject own = meta.value("MetaData").toObject();
    const QJsonValue got =
        own.contains(key) ? own.value(key) : own.value("provider_info").toObject().value(key);
    QCOMPARE(got, expected);
}

QJsonObject TestModemPlugin::templateField(const QString &path)
{
    QJsonArray level = metaData().value("MetaData").toObject().value("settings_template").toArray();
    const QStringList parts = path.split('/');
    QJsonObject found;
    for (const QString &part : parts) {
        found = QJsonObject();
        for (const QJsonValue &v : qAsConst(level)) {
            if (v.toObject().value("field").toString() == part)
                found = v.toObject();
        }
        level = found.value("sub_fields").toArray();
    }
    return found;
}

void TestModemPlugin::settingsTemplate_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("attribute");
    QTest::addColumn<QJsonValue>("value");
    QTest::newRow("comPort-empty-items")
        << "comPort"
        << "Enum" << QString::fromUtf8("COM-порт") << "items" << QJsonValue(QJsonArray());
    QTest::newRow("pin-validator")
        << "ModemSettings/pinCode"
        << "String" << QString::fromUtf8("PIN код") << "validator" << QJsonValue("\\d{4}");
    QTest::newRow("pin-length") << "ModemSettings/pinCode"
                                << "String" << QString::fromUtf8("PIN код") << "max_length"
                                << QJsonValue(4);
    QTest::newRow("baud-default") << "ModemSettings/baudRate"
                                  << "UInt" << QString::fromUtf8("Скорость (бод)") << "value"
                                  << QJsonValue(115200);
    QTest::newRow("baud-min") << "ModemSettings/baudRate"
                              << "UInt" << QString::fromUtf8("Скорость (бод)") << "min_val"
                              << QJsonValue(9600);
    QTest::newRow("bytesize-max") << "ModemSettings/byteSize"
                                  << "UInt" << QString::fromUtf8("Размер байта") << "max_val"
                                  << QJsonValue(8);
    QTest::newRow("stopbits-items") << "ModemSettings/stopBits"
                                    << "Enum" << QString::fromUtf8("Стоп-биты") << "items"
                                    << QJsonValue(QJsonArray{"1", "1.5", "2"});
    QTest::newRow("parity-items") << "ModemSettings/parity"
                                  << "Enum" << QString::fromUtf8("Четность") << "items"
                                  << QJsonValue(QJsonArray{
                                         QString::fromUtf8("Нет"), QString::fromUtf8("Чет"),
                                         QString::fromUtf8("Нечет"), QString::fromUtf8("Маркер"),
                                         QString::fromUtf8("Пробел")});
    QTest::newRow("flow-items") << "ModemSettings/hwControl"
                                << "Enum" << QString::fromUtf8("Контроль потока") << "items"
                                << QJsonValue(QJsonArray{
                                       QString::fromUtf8("Нет"), QString::fromUtf8("Аппаратный"),
                                       QString::fromUtf8("Программный(XON/XOFF)")});
    QTest::newRow("command-gap-default")
        << "ModemSettings/commandGapMs"
        << "UInt" << QString::fromUtf8("Пауза между ответом модема и следующей командой (мс)")
        << "value" << QJsonValue(20);
    QTest::newRow("command-gap-max")
        << "ModemSettings/commandGapMs"
        << "UInt" << QString::fromUtf8("Пауза между ответом модема и следующей командой (мс)")
        << "max_val" << QJsonValue(1000);
    QTest::newRow("balance-phone") << "balancePhone"
                                   << "String" << QString::fromUtf8("Номер запроса баланса")
                                   << "validator" << QJsonValue("^[*#0-9]{0,11}$");
    QTest::newRow("flash") << "flashSms"
                           << "Bool" << QString::fromUtf8("Не сохранять SMS (flash-SMS)") << "type"
                           << QJsonValue("Bool");
    QTest::newRow("ctrl-number") << "CtrlSmsSettings/ctrlSmsNum"
                                 << "String"
                                 << QString::fromUtf8("Номер получателя контрольного SMS")
                                 << "validator" << QJsonValue("^[*#0-9]{0,11}$");
    QTest::newRow("ctrl-interval")
        << "CtrlSmsSettings/ctrlSmsInterval"
        << "UInt" << QString::fromUtf8("Интервал отправки (в часах)") << "value" << QJsonValue(240);
    QTest::newRow("ctrl-interval-min")
        << "CtrlSmsSettings/ctrlSmsInterval"
        << "UInt" << QString::fromUtf8("Интервал отправки (в часах)") << "min_val" << QJsonValue(6);
}

void TestModemPlugin::settingsTemplate()
{
    QFETCH(QString, path);
    QFETCH(QString, type);
    QFETCH(QString, label);
    QFETCH(QString, attribute);
    QFETCH(QJsonValue, value);
    const QJsonObject f = templateField(path);
    QCOMPARE(f.value("type").toString(), type);
    QCOMPARE(f.value("ru_text").toString(), label);
    QCOMPARE(f.value(attribute), value);

    QStringList topOrder;
    for (const QJsonValue &v :
         metaData().value("MetaData").toObject().value("settings_template").toArray())
        topOrder << v.toObject().value("field").toString();
    QCOMPARE(topOrder, (QStringList{"comPort", "ModemSettings", "balancePhone", "flashSms",
                                    "CtrlSmsSettings"}));
}

void TestModemPlugin::instanceAnswersInterface()
{
    QPluginLoader loader(PROV_MODEM_PLUGIN);
    QObject *root = loader.instance();
    QVERIFY2(root, qPrintable(loader.errorString()));
    QCOMPARE(loader.instance(), root); // one root object per process
    ICommonSmsInterface *provider = qobject_cast<ICommonSmsInterface *>(root);
    QVERIFY(provider);
    QVERIFY(root->qt_metacast("PROV_Modem"));
    QCOMPARE(root->qt_metacast(ICommonSmsInterface_iid), static_cast<void *>(provider));
    QCOMPARE(provider->parameter(ParamProviderId).toString(), QString("ZEL_SMS_PROVIDER_MODEM"));
    QCOMPARE(provider->parameter(ParamMaxFailures).toInt(), 5);
    QCOMPARE(provider->parameter(ParamRetryPause).toInt(), 60);
    QCOMPARE(provider->parameter(ParamBatchSend).toBool(), false);
    QCOMPARE(provider->parameter(ParamBatchSize).toInt(), 1);
    QCOMPARE(provider->parameter(ParamTextCodec).toString(), QString("UTF-8"));
    // right after construction: nothing known, status OK
    int known = -1;
    QCOMPARE(provider->balance(&known), 0.0);
    QCOMPARE(known, 0);
    QCOMPARE(provider->providerStatus(), int(StatusOk));
}

QTEST_GUILESS_MAIN(TestModemPlugin)
#include "tst_modemplugin.moc"
