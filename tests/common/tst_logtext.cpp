#include "logtext.h"

#include <QtTest>

class tst_LogText : public QObject
{
    Q_OBJECT
private slots:
    void escaped_data();
    void escaped();
};

void tst_LogText::escaped_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");

    QTest::newRow("plain-cyrillic-unchanged")
        << QStringLiteral("Тревога: зона 3 \\ ok") << QStringLiteral("Тревога: зона 3 \\ ok");
    QTest::newRow("forged-line") << "79001234567\n99.01.01-00:00:00 >> [CRITICAL] x"
                                 << "79001234567\\n99.01.01-00:00:00 >> [CRITICAL] x";
    QTest::newRow("cr-tab") << "a\rb\tc"
                            << "a\\rb\\tc";
    QTest::newRow("nul-escape-del")
        << QString::fromLatin1("a\0b\x1b[2Jc\x7f", 9) << "a\\x00b\\x1b[2Jc\\x7f";
    QTest::newRow("c1-next-line") << QString(QChar(0x85)) << "\\x85";
    QTest::newRow("unicode-line-separator") << QString(QChar(0x2028)) + "x"
                                            << "\\x{2028}x";
}

void tst_LogText::escaped()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    QCOMPARE(LogText::escaped(text), expected);
    QCOMPARE(LogText::isClean(text), text == expected);
}

QTEST_GUILESS_MAIN(tst_LogText)
#include "tst_logtext.moc"
