#include "servicelog.h"

#include <QtTest>

namespace {

class CaptureSink : public ServiceLog::Sink
{
public:
    void write(const ServiceLog::Entry &entry) override { lines << entry.text; }
    QStringList lines;
};

QDateTime stampOf(const QString &line)
{
    return QDateTime::fromString(QStringLiteral("20") + line.left(17), "yyyy.MM.dd-hh:mm:ss");
}

} // namespace

// The handler's time stamp on the system clock, which it caches per second.
class tst_ServiceLog : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void systemClockStampIsLocalNow();
    void fixedClockThenSystemClockAgain();

private:
    std::shared_ptr<CaptureSink> sink;
};

void tst_ServiceLog::init()
{
    sink = std::make_shared<CaptureSink>();
    ServiceLog::clearSinks();
    ServiceLog::addSink(sink);
}

void tst_ServiceLog::cleanup()
{
    ServiceLog::clearSinks();
    ServiceLog::setClock({});
}

void tst_ServiceLog::systemClockStampIsLocalNow()
{
    // Messages over more than two seconds: each stamp lies between the local
    // times read just before and after it, whole seconds compared.
    QElapsedTimer t;
    t.start();
    int n = 0;
    while (t.elapsed() < 2300 && n < 100000) {
        const QDateTime before = QDateTime::currentDateTime().addMSecs(-1000);
        ServiceLog::messageHandler(QtDebugMsg, QMessageLogContext(),
                                   QStringLiteral("tick %1").arg(n));
        const QDateTime after = QDateTime::currentDateTime();
        const QDateTime stamp = stampOf(sink->lines.last());
        QVERIFY2(stamp.isValid(), qPrintable(sink->lines.last()));
        QVERIFY2(stamp >= before && stamp <= after, qPrintable(sink->lines.last()));
        ++n;
        if (n % 100 == 0)
            QTest::qWait(10);
    }
    QVERIFY(stampOf(sink->lines.first()) < stampOf(sink->lines.last()));
}

void tst_ServiceLog::fixedClockThenSystemClockAgain()
{
    ServiceLog::setClock([] { return QDateTime(QDate(2016, 2, 3), QTime(9, 5, 7)); });
    ServiceLog::messageHandler(QtDebugMsg, QMessageLogContext(),
                               "\"Старт главного контроллера...\"");
    QCOMPARE(sink->lines.last(),
             QStringLiteral("16.02.03-09:05:07 >> [DEBUG] Старт главного контроллера...\n"));
    ServiceLog::setClock({});
    ServiceLog::messageHandler(QtWarningMsg, QMessageLogContext(), "back");
    QVERIFY(qAbs(stampOf(sink->lines.last()).secsTo(QDateTime::currentDateTime())) <= 1);
}

QTEST_GUILESS_MAIN(tst_ServiceLog)
#include "tst_servicelog.moc"
