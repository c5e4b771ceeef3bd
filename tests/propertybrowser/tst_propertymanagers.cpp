#include <QSignalSpy>
#include <QtTest>

#include "qtboolpropertymanager.h"
#include "qtdoublepropertymanager.h"
#include "qtenumpropertymanager.h"
#include "qtgrouppropertymanager.h"
#include "qtintpropertymanager.h"
#include "qtproperty.h"
#include "qtstringpropertymanager.h"

// A step is "v:<n>", "min:<n>" or "max:<n>", applied in order.
template <typename Manager, typename T>
static void applySteps(Manager &manager, QtProperty *property, const QStringList &steps)
{
    for (const QString &step : steps) {
        const QString what = step.section(':', 0, 0);
        const double number = step.section(':', 1).toDouble();
        if (what == "v")
            manager.setValue(property, T(number));
        else if (what == "min")
            manager.setMinimum(property, T(number));
        else if (what == "max")
            manager.setMaximum(property, T(number));
        else
            QFAIL(qPrintable("bad step " + step));
    }
}

class tst_PropertyManagers : public QObject
{
    Q_OBJECT
private slots:
    void intRange_data();
    void intRange();
    void doubleRange_data();
    void doubleRange();
    void enumIndex_data();
    void enumIndex();
    void stringKeepsStoredValueAgainstPattern();
    void boolTextVisibility();
    void clearDestroysAndUnlinks();
    void subPropertiesRefuseCycles();
};

void tst_PropertyManagers::intRange_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("minimum");
    QTest::addColumn<int>("maximum");
    QTest::newRow("fresh-is-zero") << QStringList() << 0 << -INT_MAX << INT_MAX;
    QTest::newRow("min-only-starts-at-min")
        << QStringList{"max:115200", "min:9600"} << 9600 << 9600 << 115200;
    QTest::newRow("value-then-range-kept")
        << QStringList{"v:115200", "max:115200", "min:9600"} << 115200 << 9600 << 115200;
    QTest::newRow("above-max-clamped")
        << QStringList{"max:115200", "min:9600", "v:200000"} << 115200 << 9600 << 115200;
    QTest::newRow("below-min-clamped") << QStringList{"min:5", "max:8", "v:-3"} << 5 << 5 << 8;
    QTest::newRow("max-below-min-drags-min") << QStringList{"min:10", "max:4"} << 4 << 4 << 4;
    QTest::newRow("min-above-max-drags-max") << QStringList{"max:4", "min:10"} << 10 << 10 << 10;
    QTest::newRow("value-dragged-by-new-max")
        << QStringList{"v:240", "max:100"} << 100 << -INT_MAX << 100;
}

void tst_PropertyManagers::intRange()
{
    QFETCH(QStringList, steps);
    QtIntPropertyManager manager;
    QtProperty *property = manager.addProperty("p");
    applySteps<QtIntPropertyManager, int>(manager, property, steps);
    QTEST(manager.value(property), "value");
    QTEST(manager.minimum(property), "minimum");
    QTEST(manager.maximum(property), "maximum");
    QCOMPARE(property->valueText(), QString::number(manager.value(property)));
}

void tst_PropertyManagers::doubleRange_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<double>("value");
    QTest::newRow("fraction-kept") << QStringList{"v:2.75"} << 2.75;
    QTest::newRow("min-only-starts-at-min") << QStringList{"min:0.5"} << 0.5;
    QTest::newRow("above-max-clamped") << QStringList{"max:1.25", "v:7"} << 1.25;
    QTest::newRow("below-min-clamped") << QStringList{"min:-1.5", "v:-9"} << -1.5;
}

void tst_PropertyManagers::doubleRange()
{
    QFETCH(QStringList, steps);
    QtDoublePropertyManager manager;
    QtProperty *property = manager.addProperty("p");
    applySteps<QtDoublePropertyManager, double>(manager, property, steps);
    QTEST(manager.value(property), "value");
}

void tst_PropertyManagers::enumIndex_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<bool>("setNames");
    QTest::addColumn<int>("setIndex");
    QTest::addColumn<int>("expected");
    QTest::newRow("no-names-minus-one") << QStringList() << false << 0 << -1;
    QTest::newRow("empty-names-minus-one") << QStringList() << true << 0 << -1;
    QTest::newRow("names-first-current") << QStringList{"1", "1.5", "2"} << true << -1 << 0;
    QTest::newRow("index-in-range") << QStringList{"1", "1.5", "2"} << true << 2 << 2;
    QTest::newRow("index-past-end-ignored") << QStringList{"1", "1.5", "2"} << true << 3 << 0;
    QTest::newRow("negative-index-ignored") << QStringList{"a", "b"} << true << -5 << 0;
}

void tst_PropertyManagers::enumIndex()
{
    QFETCH(QStringList, names);
    QFETCH(bool, setNames);
    QFETCH(int, setIndex);
    QtEnumPropertyManager manager;
    QtProperty *property = manager.addProperty("e");
    if (setNames)
        manager.setEnumNames(property, names);
    manager.setValue(property, setIndex);
    QTEST(manager.value(property), "expected");
    QCOMPARE(property->valueText(), names.value(manager.value(property)));
}

void tst_PropertyManagers::stringKeepsStoredValueAgainstPattern()
{
    QtStringPropertyManager manager;
    QtProperty *property = manager.addProperty("pin");
    manager.setRegExp(property, QRegExp("\\d{4}"));
    manager.setValue(property, "12a");
    QCOMPARE(manager.value(property), QString("12a"));
    QSignalSpy spy(&manager, &QtStringPropertyManager::valueChanged);
    manager.setValue(property, "12a");
    QCOMPARE(spy.count(), 0);
    manager.setReadOnly(property, true);
    QVERIFY(manager.isReadOnly(property));
}

void tst_PropertyManagers::boolTextVisibility()
{
    QtBoolPropertyManager manager;
    QtProperty *property = manager.addProperty("b");
    manager.setValue(property, true);
    QVERIFY(!property->valueText().isEmpty());
    manager.setTextVisible(property, false);
    QVERIFY(property->valueText().isEmpty());
    QVERIFY(manager.value(property));
}

void tst_PropertyManagers::clearDestroysAndUnlinks()
{
    QtGroupPropertyManager groups;
    QtIntPropertyManager ints;
    QtProperty *group = groups.addProperty("g");
    QtProperty *a = ints.addProperty("a");
    QtProperty *b = ints.addProperty("b");
    group->addSubProperty(a);
    group->addSubProperty(b);
    QSignalSpy destroyed(&ints, &QtAbstractPropertyManager::propertyDestroyed);
    ints.clear();
    QCOMPARE(destroyed.count(), 2);
    QVERIFY(ints.properties().isEmpty());
    // A group of another manager must not keep pointers to destroyed children.
    QVERIFY(group->subProperties().isEmpty());
    QCOMPARE(ints.value(a), 0);
}

void tst_PropertyManagers::subPropertiesRefuseCycles()
{
    QtGroupPropertyManager groups;
    QtProperty *outer = groups.addProperty("outer");
    QtProperty *inner = groups.addProperty("inner");
    outer->addSubProperty(inner);
    outer->addSubProperty(inner);
    inner->addSubProperty(outer);
    outer->addSubProperty(outer);
    QCOMPARE(outer->subProperties(), QList<QtProperty *>{inner});
    QVERIFY(inner->subProperties().isEmpty());
}

QTEST_MAIN(tst_PropertyManagers)
#include "tst_propertymanagers.moc"
