#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTreeWidget>
#include <QtTest>

#include "qttreepropertybrowser.h"
#include "zelpropertywidget.h"

static QJsonValue parse(const QByteArray &json)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError)
        qFatal("bad fixture json: %s", qPrintable(error.errorString()));
    return document.array();
}

// Shaped like the modem's template: a choice filled at run time, groups with
// ranges and patterns, and top-level fields after the groups.
static const QByteArray modemLike = R"([
 {"field":"comPort","type":"Enum","ru_text":"COM-порт","items":[]},
 {"field":"ModemSettings","type":"Group","ru_text":"Настройки модема","sub_fields":[
   {"field":"pinCode","type":"String","ru_text":"PIN код","max_length":4,"validator":"\\d{4}"},
   {"field":"baudRate","type":"UInt","ru_text":"Скорость","min_val":9600,"max_val":115200,"value":115200},
   {"field":"byteSize","type":"UInt","ru_text":"Размер байта","min_val":5,"max_val":8,"value":8},
   {"field":"stopBits","type":"Enum","ru_text":"Стоп-биты","items":["1","1.5","2"]}]},
 {"field":"balancePhone","type":"String","ru_text":"Номер баланса","validator":"^[*#0-9]{0,11}$"},
 {"field":"flashSms","type":"Bool","ru_text":"flash"},
 {"field":"CtrlSmsSettings","type":"Group","ru_text":"Контрольное SMS","sub_fields":[
   {"field":"sendCtrlSms","type":"Bool","ru_text":"Отправлять"},
   {"field":"ctrlSmsInterval","type":"UInt","ru_text":"Интервал","min_val":6,"max_val":1440,"value":240}]}
])";

class tst_ZelPropertyWidget : public QObject
{
    Q_OBJECT
private slots:
    void descriptorEdgeCases_data();
    void descriptorEdgeCases();
    void unknownTypeIsKnownButInvalid();
    void setValueClamps_data();
    void setValueClamps();
    void getValuesFlattensGroups();
    void rowsInTemplateOrder();
    void sameTemplateKeepsValuesClearResets();
    void missingNameWarnsAndChangesNothing();
    void templateWithValues();
    void ignoresNonArraysAndNonObjects();
    void duplicateFieldNameLaterWins();
    void contextMenuReEmitted();
};

void tst_ZelPropertyWidget::descriptorEdgeCases_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QVariant>("expected"); // invalid: the name must be absent
    QTest::addColumn<int>("rows");
    QTest::newRow("no-field") << QByteArray(R"([{"type":"UInt","value":3}])") << "" << QVariant()
                              << 0;
    QTest::newRow("no-type") << QByteArray(R"([{"field":"a","value":3}])") << "a" << QVariant()
                             << 0;
    QTest::newRow("uint-min-no-value")
        << QByteArray(R"([{"field":"b","type":"UInt","min_val":9600,"max_val":115200}])") << "b"
        << QVariant(9600) << 1;
    QTest::newRow("uint-value-below-min")
        << QByteArray(R"([{"field":"b","type":"UInt","min_val":6,"value":2}])") << "b"
        << QVariant(6) << 1;
    QTest::newRow("double-fraction")
        << QByteArray(R"([{"field":"d","type":"Double","value":1.5,"max_val":2.5,"min_val":0.5}])")
        << "d" << QVariant(1.5) << 1;
    QTest::newRow("double-min-no-value")
        << QByteArray(R"([{"field":"d","type":"Double","min_val":0.25}])") << "d" << QVariant(0.25)
        << 1;
    QTest::newRow("enum-no-value-first")
        << QByteArray(R"([{"field":"s","type":"Enum","items":["1","1.5","2"]}])") << "s"
        << QVariant(0) << 1;
    QTest::newRow("enum-empty-items")
        << QByteArray(R"([{"field":"s","type":"Enum","items":[]}])") << "s" << QVariant(-1) << 1;
    QTest::newRow("enum-value-past-end")
        << QByteArray(R"([{"field":"s","type":"Enum","items":["a","b"],"value":5}])") << "s"
        << QVariant(0) << 1;
    QTest::newRow("enum-non-string-item")
        << QByteArray(R"([{"field":"s","type":"Enum","items":[7,"b"],"value":1}])") << "s"
        << QVariant(1) << 1;
    QTest::newRow("string-default")
        << QByteArray(R"([{"field":"t","type":"String","value":"ZEL"}])") << "t"
        << QVariant(QString("ZEL")) << 1;
    QTest::newRow("bool-default") << QByteArray(R"([{"field":"f","type":"Bool","value":true}])")
                                  << "f" << QVariant(true) << 1;
}

void tst_ZelPropertyWidget::descriptorEdgeCases()
{
    QFETCH(QByteArray, json);
    QFETCH(QString, name);
    QFETCH(QVariant, expected);
    ZelPropertyWidget form;
    form.setTemplate(parse(json));
    QVERIFY(!form.isEmpty());
    QTEST(form.browser()->treeWidget()->topLevelItemCount(), "rows");
    const QVariantMap values = form.getValues();
    if (!expected.isValid()) {
        QCOMPARE(values.size(), 0);
        return;
    }
    QCOMPARE(values.keys(), QStringList{name});
    QCOMPARE(values.value(name), expected);
    QCOMPARE(values.value(name).userType(), expected.userType());
}

void tst_ZelPropertyWidget::unknownTypeIsKnownButInvalid()
{
    ZelPropertyWidget form;
    // Type names are case-sensitive: "uint" is not "UInt".
    form.setTemplate(parse(R"([{"field":"x","type":"uint","value":1},
                              {"field":"y","type":"Bool"}])"));
    QCOMPARE(form.browser()->treeWidget()->topLevelItemCount(), 1);
    QTest::ignoreMessage(QtWarningMsg, "[ZelPropertyWidget::getValueByName] Invalid property type");
    QVERIFY(!form.getValueByName("x").isValid());
    QTest::ignoreMessage(QtWarningMsg, "[ZelPropertyWidget::setValueByName] Invalid property type");
    form.setValueByName("x", 3);
    QTest::ignoreMessage(QtWarningMsg, "[ZelPropertyWidget::getValueByName] Invalid property type");
    const QVariantMap values = form.getValues();
    QVERIFY(values.contains("x"));
    QVERIFY(!values.value("x").isValid());
}

void tst_ZelPropertyWidget::setValueClamps_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QVariant>("input");
    QTest::addColumn<QVariant>("expected");
    QTest::newRow("baud-above-max") << "baudRate" << QVariant(200000) << QVariant(115200);
    QTest::newRow("baud-below-min") << "baudRate" << QVariant(1200) << QVariant(9600);
    QTest::newRow("baud-as-text") << "baudRate" << QVariant("57600") << QVariant(57600);
    QTest::newRow("interval-in-range") << "ctrlSmsInterval" << QVariant(12) << QVariant(12);
    QTest::newRow("stopbits-valid-index") << "stopBits" << QVariant(2) << QVariant(2);
    QTest::newRow("stopbits-out-of-range-ignored") << "stopBits" << QVariant(3) << QVariant(0);
    QTest::newRow("port-no-items-stays-minus-one") << "comPort" << QVariant(0) << QVariant(-1);
    QTest::newRow("pin-not-matching-kept") << "pinCode" << QVariant("12") << QVariant("12");
    QTest::newRow("bool-from-text") << "flashSms" << QVariant("true") << QVariant(true);
    QTest::newRow("group-child-bool") << "sendCtrlSms" << QVariant(1) << QVariant(true);
}

void tst_ZelPropertyWidget::setValueClamps()
{
    QFETCH(QString, name);
    QFETCH(QVariant, input);
    ZelPropertyWidget form;
    form.setTemplate(parse(modemLike));
    form.setValueByName(name, input);
    QTEST(form.getValueByName(name), "expected");
}

void tst_ZelPropertyWidget::getValuesFlattensGroups()
{
    ZelPropertyWidget form;
    form.setTemplate(parse(modemLike));
    const QVariantMap values = form.getValues();
    const QStringList expected{"balancePhone", "baudRate",        "byteSize",
                               "comPort",      "ctrlSmsInterval", "flashSms",
                               "pinCode",      "sendCtrlSms",     "stopBits"};
    QCOMPARE(values.keys(), expected);
    QCOMPARE(values.value("ctrlSmsInterval"), QVariant(240));
    QCOMPARE(form.getValuesJson().value("baudRate").toInt(), 115200);
    QTest::ignoreMessage(QtWarningMsg, "[ZelPropertyWidget::getValueByName] Invalid property type");
    QVERIFY(!form.getValueByName("ModemSettings").isValid());
}

void tst_ZelPropertyWidget::rowsInTemplateOrder()
{
    ZelPropertyWidget form;
    form.setTemplate(parse(modemLike));
    QTreeWidget *tree = form.browser()->treeWidget();
    QStringList labels;
    for (int i = 0; i < tree->topLevelItemCount(); ++i)
        labels << tree->topLevelItem(i)->text(0);
    QCOMPARE(labels, (QStringList{"COM-порт", "Настройки модема", "Номер баланса", "flash",
                                  "Контрольное SMS"}));
    QCOMPARE(tree->topLevelItem(1)->childCount(), 4);
    QCOMPARE(tree->topLevelItem(1)->child(3)->text(0), QString("Стоп-биты"));
    QVERIFY(!form.browser()->isHeaderVisible());
}

void tst_ZelPropertyWidget::sameTemplateKeepsValuesClearResets()
{
    ZelPropertyWidget form;
    const QJsonValue modem = parse(modemLike);
    form.setTemplate(modem);
    form.setValues(QVariantMap{{"baudRate", 19200}, {"balancePhone", "*100#"}});
    form.setTemplate(modem);
    QCOMPARE(form.getValueByName("baudRate"), QVariant(19200));
    QCOMPARE(form.getValueByName("balancePhone"), QVariant("*100#"));
    form.clear();
    QVERIFY(form.isEmpty());
    QVERIFY(form.getValues().isEmpty());
    QCOMPARE(form.browser()->treeWidget()->topLevelItemCount(), 0);
    QVERIFY(form.getTemplateWithValues().isNull());
    form.setTemplate(modem);
    QCOMPARE(form.getValueByName("baudRate"), QVariant(115200));
    QCOMPARE(form.getValueByName("balancePhone"), QVariant(QString()));
}

void tst_ZelPropertyWidget::missingNameWarnsAndChangesNothing()
{
    ZelPropertyWidget form;
    form.setTemplate(parse(modemLike));
    const QVariantMap before = form.getValues();
    QTest::ignoreMessage(QtWarningMsg,
                         "[ZelPropertyWidget::setValueByName] trying to set missing property "
                         "\"comPortHWID\"");
    form.setValues(QVariantMap{{"comPortHWID", "usb-1a86:7523"}});
    QCOMPARE(form.getValues(), before);
    QTest::ignoreMessage(QtWarningMsg,
                         "[ZelPropertyWidget::getValueByName] trying to get missing property");
    QVERIFY(!form.getValueByName("nothing").isValid());
}

void tst_ZelPropertyWidget::templateWithValues()
{
    ZelPropertyWidget form;
    form.setTemplate(parse(modemLike));
    form.setValues(QJsonValue(
        QJsonObject{{"baudRate", 9600}, {"sendCtrlSms", true}, {"balancePhone", "#102#"}}));
    const QJsonArray result = form.getTemplateWithValues().toArray();
    QCOMPARE(result.size(), 5);
    const QJsonArray modemGroup = result.at(1).toObject().value("sub_fields").toArray();
    QCOMPARE(modemGroup.at(1).toObject().value("value").toInt(), 9600);
    QCOMPARE(modemGroup.at(1).toObject().value("min_val").toInt(), 9600);
    QCOMPARE(result.at(2).toObject().value("value").toString(), QString("#102#"));
    QCOMPARE(result.at(4).toObject().value("sub_fields").toArray().at(0).toObject().value("value"),
             QJsonValue(true));
    // The template itself is not changed by reading it back with values.
    ZelPropertyWidget again;
    again.setTemplate(result);
    QCOMPARE(again.getValues(), form.getValues());
}

void tst_ZelPropertyWidget::ignoresNonArraysAndNonObjects()
{
    ZelPropertyWidget form;
    form.setTemplate(QJsonObject{{"field", "a"}, {"type", "Bool"}});
    QVERIFY(form.isEmpty());
    form.setTemplate(parse(R"([1, "x", null, {"field":"a","type":"Bool"}])"));
    QCOMPARE(form.getValues().keys(), QStringList{"a"});
    form.setValues(QJsonValue(QJsonArray{true}));
    QCOMPARE(form.getValueByName("a"), QVariant(false));
    form.setTemplate(QJsonValue(3));
    QCOMPARE(form.getValues().keys(), QStringList{"a"});
}

void tst_ZelPropertyWidget::duplicateFieldNameLaterWins()
{
    ZelPropertyWidget form;
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("duplicate field name.*\"a\""));
    form.setTemplate(parse(R"([{"field":"a","type":"Bool","value":true},
                              {"field":"a","type":"UInt","value":5}])"));
    QCOMPARE(form.getValueByName("a"), QVariant(5));
    QCOMPARE(form.browser()->treeWidget()->topLevelItemCount(), 2);
}

void tst_ZelPropertyWidget::contextMenuReEmitted()
{
    ZelPropertyWidget form;
    form.setTemplate(parse(modemLike));
    QSignalSpy spy(&form, &ZelPropertyWidget::contextMenuRequested);
    emit form.browser()->customContextMenuRequested(QPoint(3, 4));
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toPoint(), QPoint(3, 4));
    QCOMPARE(form.browser()->contextMenuPolicy(), Qt::CustomContextMenu);
}

QTEST_MAIN(tst_ZelPropertyWidget)
#include "tst_zelpropertywidget.moc"
