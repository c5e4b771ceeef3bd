#include <QtTest>

#include "modemportmapping.h"

using namespace ModemPortMapping;

class tst_ModemPortMapping : public QObject
{
    Q_OBJECT
private slots:
    void toFormValues_data();
    void toFormValues();
    void toStoredValues_data();
    void toStoredValues();
    void keepAbsentPort_data();
    void keepAbsentPort();
};

void tst_ModemPortMapping::toFormValues_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("hwids");
    QTest::addColumn<QVariantMap>("stored");
    QTest::addColumn<int>("index");
    const QStringList names{"/dev/ttyS0", "/dev/ttyUSB0", "/dev/ttyUSB1"};
    const QStringList hwids{"ACPI\\PNP0501", "USB\\VID_12D1&PID_1001\\A1",
                            "USB\\VID_1A86&PID_7523\\B2"};
    QTest::newRow("name-match") << names << hwids << QVariantMap{{"comPort", "/dev/ttyUSB0"}} << 1;
    QTest::newRow("name-match-empty-hwid")
        << names << hwids << QVariantMap{{"comPort", "/dev/ttyUSB1"}, {"comPortHWID", ""}} << 2;
    QTest::newRow("hwid-match-under-new-name")
        << names << hwids
        << QVariantMap{{"comPort", "/dev/ttyUSB0"}, {"comPortHWID", "USB\\VID_1A86&PID_7523\\B2"}}
        << 2;
    QTest::newRow("hwid-wins-over-name")
        << names << hwids
        << QVariantMap{{"comPort", "/dev/ttyS0"}, {"comPortHWID", "USB\\VID_12D1&PID_1001\\A1"}}
        << 1;
    QTest::newRow("hwid-absent-no-name-fallback")
        << names << hwids << QVariantMap{{"comPort", "/dev/ttyS0"}, {"comPortHWID", "USB\\GONE"}}
        << -1;
    QTest::newRow("name-case-sensitive")
        << names << hwids << QVariantMap{{"comPort", "/dev/TTYUSB0"}} << -1;
    QTest::newRow("nothing-saved") << names << hwids << QVariantMap() << -1;
    QTest::newRow("no-ports") << QStringList() << QStringList()
                              << QVariantMap{{"comPort", "/dev/ttyUSB0"}} << -1;
}

void tst_ModemPortMapping::toFormValues()
{
    QFETCH(QStringList, names);
    QFETCH(QStringList, hwids);
    QFETCH(QVariantMap, stored);
    const QVariantMap result = ModemPortMapping::toFormValues(stored, names, hwids);
    QTEST(result.value("comPort").toInt(), "index");
    QCOMPARE(result.value("comPortHWID"), stored.value("comPortHWID"));
}

void tst_ModemPortMapping::toStoredValues_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("hwids");
    QTest::addColumn<QVariant>("index");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("hwid");
    const QStringList names{"/dev/ttyS0", "/dev/ttyUSB0"};
    const QStringList hwids{"ACPI\\PNP0501", "USB\\VID_12D1&PID_1001\\A1"};
    QTest::newRow("usb-keeps-hwid") << names << hwids << QVariant(1) << "/dev/ttyUSB0"
                                    << "USB\\VID_12D1&PID_1001\\A1";
    QTest::newRow("acpi-hwid-dropped") << names << hwids << QVariant(0) << "/dev/ttyS0"
                                       << "";
    QTest::newRow("acpi-lowercase-kept")
        << QStringList{"/dev/ttyS1"} << QStringList{"acpi\\x"} << QVariant(0) << "/dev/ttyS1"
        << "acpi\\x";
    QTest::newRow("index-past-end") << names << hwids << QVariant(2) << ""
                                    << "";
    QTest::newRow("index-negative") << names << hwids << QVariant(-1) << ""
                                    << "";
    QTest::newRow("missing-index-means-first") << names << hwids << QVariant() << "/dev/ttyS0"
                                               << "";
    QTest::newRow("no-ports") << QStringList() << QStringList() << QVariant(0) << ""
                              << "";
    QTest::newRow("hwid-list-short") << names << QStringList() << QVariant(1) << "/dev/ttyUSB0"
                                     << "";
}

void tst_ModemPortMapping::toStoredValues()
{
    QFETCH(QStringList, names);
    QFETCH(QStringList, hwids);
    QFETCH(QVariant, index);
    QVariantMap form{{"pinCode", "1234"}};
    if (index.isValid())
        form.insert("comPort", index);
    const QVariantMap result = ModemPortMapping::toStoredValues(form, names, hwids);
    QTEST(result.value("comPort").toString(), "port");
    QTEST(result.value("comPortHWID").toString(), "hwid");
    QCOMPARE(result.value("comPort").userType(), int(QMetaType::QString));
    QCOMPARE(result.value("pinCode"), QVariant("1234"));
}

void tst_ModemPortMapping::keepAbsentPort_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("hwids");
    QTest::addColumn<QVariantMap>("stored");
    QTest::addColumn<bool>("kept");
    QTest::addColumn<QStringList>("namesAfter");
    QTest::addColumn<QStringList>("hwidsAfter");
    const QStringList names{"/dev/ttyS0"};
    const QStringList hwids{"ACPI\\PNP0501"};
    QTest::newRow("present-by-name")
        << names << hwids << QVariantMap{{"comPort", "/dev/ttyS0"}} << false << names << hwids;
    QTest::newRow("unplugged-usb-kept")
        << names << hwids << QVariantMap{{"comPort", "/dev/ttyUSB0"}, {"comPortHWID", "USB\\A1"}}
        << true << QStringList{"/dev/ttyS0", "/dev/ttyUSB0"}
        << QStringList{"ACPI\\PNP0501", "USB\\A1"};
    QTest::newRow("name-taken-by-other-device")
        << QStringList{"/dev/ttyUSB0"} << QStringList{"USB\\OTHER"}
        << QVariantMap{{"comPort", "/dev/ttyUSB0"}, {"comPortHWID", "USB\\A1"}} << true
        << QStringList{"/dev/ttyUSB0", "/dev/ttyUSB0"} << QStringList{"USB\\OTHER", "USB\\A1"};
    QTest::newRow("no-ports-saved-port-kept")
        << QStringList() << QStringList() << QVariantMap{{"comPort", "/dev/ttyACM0"}} << true
        << QStringList{"/dev/ttyACM0"} << QStringList{""};
    QTest::newRow("nothing-saved") << QStringList() << QStringList() << QVariantMap() << false
                                   << QStringList() << QStringList();
    QTest::newRow("uneven-lists-realigned")
        << QStringList{"/dev/ttyS0", "/dev/ttyS1"} << QStringList{"ACPI\\0"}
        << QVariantMap{{"comPort", "/dev/ttyUSB3"}} << true
        << QStringList{"/dev/ttyS0", "/dev/ttyS1", "/dev/ttyUSB3"}
        << QStringList{"ACPI\\0", "", ""};
}

void tst_ModemPortMapping::keepAbsentPort()
{
    QFETCH(QStringList, names);
    QFETCH(QStringList, hwids);
    QFETCH(QVariantMap, stored);
    QTEST(ModemPortMapping::keepAbsentPort(stored, names, hwids), "kept");
    QTEST(names, "namesAfter");
    QTEST(hwids, "hwidsAfter");
    // After keeping, the stored port is found at the appended place.
    if (!stored.value("comPort").toString().isEmpty())
        QCOMPARE(ModemPortMapping::toFormValues(stored, names, hwids).value("comPort").toInt() >= 0,
                 true);
}

QTEST_MAIN(tst_ModemPortMapping)
#include "tst_modemportmapping.moc"
