#include "servicelog.h"
#include "syslogsink.h"

#include <QtTest>
#include <syslog.h>

// The service log line, the level table, the handler's routing to sinks and
// the syslog priorities. Entries are captured by a sink that keeps type and
// event id, as the system log would receive them.
class TestServiceLogSinks : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void lineWithFixedClock();
    void levels_data();
    void levels();
    void quotesRemoved_data();
    void quotesRemoved();
    void syslogPriorities_data();
    void syslogPriorities();
    void everySinkGetsEveryEntry();
    void identHasNoBlanks();
};

namespace {
struct CapturingSink : ServiceLog::Sink
{
    QVector<ServiceLog::Entry> entries;
    void write(const ServiceLog::Entry &entry) override { entries.append(entry); }
};

const QDateTime FixedTime(QDate(2016, 2, 3), QTime(9, 5, 7));
} // namespace

static std::shared_ptr<CapturingSink> g_sink;

void TestServiceLogSinks::init()
{
    g_sink = std::make_shared<CapturingSink>();
    ServiceLog::clearSinks();
    ServiceLog::addSink(g_sink);
    ServiceLog::setClock([] { return FixedTime; });
    qInstallMessageHandler(ServiceLog::messageHandler);
}

void TestServiceLogSinks::cleanup()
{
    qInstallMessageHandler(nullptr);
    ServiceLog::clearSinks();
    ServiceLog::setClock([] { return QDateTime::currentDateTime(); });
}

void TestServiceLogSinks::lineWithFixedClock()
{
    qDebug() << QStringLiteral("Старт главного контроллера...");
    QCOMPARE(g_sink->entries.size(), 1);
    const ServiceLog::Entry e = g_sink->entries.first();
    QCOMPARE(e.text,
             QStringLiteral("16.02.03-09:05:07 >> [DEBUG] Старт главного контроллера...\n"));
    QCOMPARE(int(e.type), int(ServiceLog::EntryType::Information));
}

void TestServiceLogSinks::levels_data()
{
    QTest::addColumn<int>("msgType");
    QTest::addColumn<QString>("word");
    QTest::addColumn<int>("entryType");
    QTest::newRow("debug") << int(QtDebugMsg) << "DEBUG" << int(ServiceLog::EntryType::Information);
    QTest::newRow("warning") << int(QtWarningMsg) << "WARNING"
                             << int(ServiceLog::EntryType::Warning);
    QTest::newRow("critical") << int(QtCriticalMsg) << "CRITICAL"
                              << int(ServiceLog::EntryType::Error);
    QTest::newRow("fatal") << int(QtFatalMsg) << "FATAL" << int(ServiceLog::EntryType::Error);
    QTest::newRow("info") << int(QtInfoMsg) << "INFO" << int(ServiceLog::EntryType::Information);
    QTest::newRow("unknown-value") << 42 << "INFO" << int(ServiceLog::EntryType::Information);
}

void TestServiceLogSinks::levels()
{
    QFETCH(int, msgType);
    QFETCH(QString, word);
    QFETCH(int, entryType);
    // Fatal cannot go through qFatal here (it ends the process): the handler
    // is called the way Qt calls it.
    ServiceLog::messageHandler(QtMsgType(msgType), QMessageLogContext(), QStringLiteral("x"));
    QCOMPARE(g_sink->entries.size(), 1);
    const ServiceLog::Entry e = g_sink->entries.first();
    QCOMPARE(e.text, QStringLiteral("16.02.03-09:05:07 >> [%1] x\n").arg(word));
    QCOMPARE(int(e.type), entryType);
}

void TestServiceLogSinks::quotesRemoved_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("logged");
    QTest::newRow("inner-quotes") << "Провайдер \"SmsRU\" не ответил"
                                  << "Провайдер SmsRU не ответил";
    QTest::newRow("only-quotes") << "\"\"\""
                                 << "";
    QTest::newRow("single-quotes-kept") << "it's 'ok'"
                                        << "it's 'ok'";
    QTest::newRow("guillemets-kept") << "«ЗЕЛ»"
                                     << "«ЗЕЛ»";
}

void TestServiceLogSinks::quotesRemoved()
{
    QFETCH(QString, text);
    QFETCH(QString, logged);
    qWarning("%s", qPrintable(text));
    QCOMPARE(g_sink->entries.size(), 1);
    QCOMPARE(g_sink->entries.first().text,
             QStringLiteral("16.02.03-09:05:07 >> [WARNING] ") + logged + QLatin1Char('\n'));
}

void TestServiceLogSinks::syslogPriorities_data()
{
    QTest::addColumn<int>("msgType");
    QTest::addColumn<int>("priority");
    QTest::newRow("debug") << int(QtDebugMsg) << LOG_DEBUG;
    QTest::newRow("warning") << int(QtWarningMsg) << LOG_WARNING;
    QTest::newRow("critical-crit") << int(QtCriticalMsg) << LOG_CRIT;
    QTest::newRow("fatal-crit") << int(QtFatalMsg) << LOG_CRIT;
    QTest::newRow("info") << int(QtInfoMsg) << LOG_INFO;
}

void TestServiceLogSinks::syslogPriorities()
{
    QFETCH(int, msgType);
    QFETCH(int, priority);
    const ServiceLog::Entry e =
        ServiceLog::makeEntry(QtMsgType(msgType), QStringLiteral("x"), FixedTime);
    QCOMPARE(SyslogWriter::syslogPriority(SyslogSink::priorityFor(e.level)), priority);
}

void TestServiceLogSinks::everySinkGetsEveryEntry()
{
    auto second = std::make_shared<CapturingSink>();
    ServiceLog::addSink(second);
    // The syslog sink takes the same entries; a '%' in a message must not be
    // read as a format by syslog(3) (it would crash or print stack bytes).
    ServiceLog::addSink(std::make_shared<SyslogSink>(QStringLiteral("tst_servicelogsinks")));
    qCritical("gateway said %s", "100%s%n");
    qDebug("second");
    QCOMPARE(g_sink->entries.size(), 2);
    QCOMPARE(second->entries.size(), 2);
    QCOMPARE(second->entries.at(0).text,
             QStringLiteral("16.02.03-09:05:07 >> [CRITICAL] gateway said 100%s%n\n"));
    QCOMPARE(second->entries.at(1).text, QStringLiteral("16.02.03-09:05:07 >> [DEBUG] second\n"));
}

void TestServiceLogSinks::identHasNoBlanks()
{
    QCOMPARE(SyslogWriter::identFor(QStringLiteral("ZEL SMS service")),
             QStringLiteral("zel-sms-service"));
}

QTEST_GUILESS_MAIN(TestServiceLogSinks)
#include "tst_servicelogsinks.moc"
