#include "exceptionstableapp.h"
#include "servicelog.h"

#include <QProcess>
#include <QTimer>
#include <QtTest>
#include <sys/resource.h>

// What happens when an exception escapes an event handler: the log entry, the
// event loop's exit code and the restart copy, seen through a recording
// launcher. The test runs inside a real ExceptionStableApp.
class TestExceptionStableApp : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void escapingException_data();
    void escapingException();
    void restartCodeRange_data();
    void restartCodeRange();
    void normalDeliveryUntouched();
    void firstExceptionDecidesCode_data();
    void firstExceptionDecidesCode();
    void unknownExceptionEndsProcess();
    void realLauncherStartsDetachedCopy();
};

namespace {
struct CapturingSink : ServiceLog::Sink
{
    QVector<ServiceLog::Entry> entries;
    void write(const ServiceLog::Entry &entry) override { entries.append(entry); }
};

struct Launch
{
    QString program;
    QStringList args;
};

std::shared_ptr<CapturingSink> g_sink;
QVector<Launch> g_launches;

class Thrower : public QObject
{
    Q_OBJECT
public:
    QString kind;
    QByteArray reason;
public slots:
    void fire()
    {
        if (kind == "immediate")
            throw ImmediateExitApplication(reason.toStdString());
        if (kind == "restart")
            throw ForceRestartException(reason.toStdString());
        if (kind == "runtime")
            throw std::runtime_error(reason.toStdString());
        if (kind == "logic")
            throw std::logic_error(reason.toStdString());
        if (kind == "bad-alloc")
            throw std::bad_alloc();
    }
};
} // namespace

void TestExceptionStableApp::init()
{
    g_sink = std::make_shared<CapturingSink>();
    g_launches.clear();
    ServiceLog::clearSinks();
    ServiceLog::addSink(g_sink);
    qInstallMessageHandler(ServiceLog::messageHandler);
    ExceptionStableApp::setLauncher([](const QString &program, const QStringList &args) {
        g_launches.append({program, args});
        return true;
    });
}

void TestExceptionStableApp::cleanup()
{
    qInstallMessageHandler(nullptr);
    ServiceLog::clearSinks();
    ExceptionStableApp::setLauncher(nullptr);
}

void TestExceptionStableApp::escapingException_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("reason");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("logLine");
    QTest::addColumn<QStringList>("copyArgs"); // empty: no copy
    QTest::newRow("immediate-exit")
        << "immediate" << QByteArray("настройки удалены") << 0
        << "[WARNING] Управление приложением: настройки удалены" << QStringList();
    QTest::newRow("force-restart")
        << "restart" << QByteArray("модем не отвечает") << -1
        << "[WARNING] Запрошен рестарт приложения. Причина: модем не отвечает"
        << QStringList{"--restart", "1"};
    QTest::newRow("runtime-error")
        << "runtime" << QByteArray("port lost") << -10
        << "[CRITICAL] ERROR: Обнаружено исключение времени выполнения: port lost. Попытка "
           "перезапуска..."
        << QStringList{"--restart", "10"};
    QTest::newRow("other-std-exception")
        << "logic" << QByteArray("bad state") << -10
        << "[CRITICAL] ERROR: Обнаружено исключение времени выполнения: bad state. Попытка "
           "перезапуска..."
        << QStringList{"--restart", "10"};
    QTest::newRow("bad-alloc") << "bad-alloc" << QByteArray() << -10
                               << "[CRITICAL] ERROR: Обнаружено исключение времени выполнения: "
                               << QStringList{"--restart", "10"};
}

void TestExceptionStableApp::escapingException()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, reason);
    QFETCH(int, exitCode);
    QFETCH(QString, logLine);
    QFETCH(QStringList, copyArgs);
    Thrower thrower;
    thrower.kind = kind;
    thrower.reason = reason;
    QTimer::singleShot(0, &thrower, &Thrower::fire);
    // Should the loop not end, this ends it with a code no row expects.
    QTimer::singleShot(5000, qApp, [] { QCoreApplication::exit(77); });

    QCOMPARE(ExceptionStableApp::execWithRestart(), exitCode);
    QCOMPARE(g_sink->entries.size(), 1);
    QVERIFY2(g_sink->entries.first().text.contains(logLine),
             qPrintable(g_sink->entries.first().text));
    if (copyArgs.isEmpty()) {
        QVERIFY(g_launches.isEmpty());
    } else {
        QCOMPARE(g_launches.size(), 1);
        QCOMPARE(g_launches.first().program, QCoreApplication::applicationFilePath());
        QVERIFY(QFileInfo(g_launches.first().program).isAbsolute());
        QCOMPARE(g_launches.first().args, copyArgs);
    }
}

void TestExceptionStableApp::restartCodeRange_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QStringList>("copyArgs");
    QTest::newRow("0-orderly") << 0 << QStringList();
    QTest::newRow("5-positive") << 5 << QStringList();
    QTest::newRow("-1-lower-edge") << -1 << QStringList{"--restart", "1"};
    QTest::newRow("-15-inside") << -15 << QStringList{"--restart", "15"};
    QTest::newRow("-30-upper-edge") << -30 << QStringList{"--restart", "30"};
    QTest::newRow("-31-outside") << -31 << QStringList();
    QTest::newRow("-4-start-failure-code") << -4 << QStringList{"--restart", "4"};
}

void TestExceptionStableApp::restartCodeRange()
{
    QFETCH(int, code);
    QFETCH(QStringList, copyArgs);
    QTimer::singleShot(0, qApp, [code] { QCoreApplication::exit(code); });
    QCOMPARE(ExceptionStableApp::execWithRestart(), code);
    QCOMPARE(ExceptionStableApp::isRestartCode(code), !copyArgs.isEmpty());
    if (copyArgs.isEmpty()) {
        QVERIFY(g_launches.isEmpty());
    } else {
        QCOMPARE(g_launches.size(), 1);
        QCOMPARE(g_launches.first().args, copyArgs);
    }
    QVERIFY(g_sink->entries.isEmpty());
}

void TestExceptionStableApp::normalDeliveryUntouched()
{
    QObject target;
    int delivered = 0;
    QTimer::singleShot(0, &target, [&delivered] { ++delivered; });
    QTimer::singleShot(0, &target, [&delivered] {
        ++delivered;
        QCoreApplication::exit(3);
    });
    QCOMPARE(ExceptionStableApp::execWithRestart(), 3);
    QCOMPARE(delivered, 2);
    QVERIFY(g_launches.isEmpty());
    QVERIFY(g_sink->entries.isEmpty());
}

void TestExceptionStableApp::firstExceptionDecidesCode_data()
{
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<int>("launches");
    QTest::newRow("runtime-then-immediate") << "runtime"
                                            << "immediate" << -10 << 1;
    QTest::newRow("restart-then-runtime") << "restart"
                                          << "runtime" << -1 << 1;
    QTest::newRow("immediate-then-runtime") << "immediate"
                                            << "runtime" << 0 << 0;
}

// Two handlers throw while the loop is still dispatching: both are logged,
// the first one's code stands.
void TestExceptionStableApp::firstExceptionDecidesCode()
{
    QFETCH(QString, first);
    QFETCH(QString, second);
    QFETCH(int, exitCode);
    QFETCH(int, launches);
    Thrower a, b;
    a.kind = first;
    b.kind = second;
    QTimer::singleShot(0, qApp, [&] {
        QMetaObject::invokeMethod(&a, "fire", Qt::QueuedConnection);
        QMetaObject::invokeMethod(&b, "fire", Qt::QueuedConnection);
        // Both posted events are delivered here, through notify(), before
        // the loop can look at its exit flag.
        QCoreApplication::sendPostedEvents();
    });
    QTimer::singleShot(5000, qApp, [] { QCoreApplication::exit(77); });
    QCOMPARE(ExceptionStableApp::execWithRestart(), exitCode);
    QCOMPARE(g_sink->entries.size(), 2);
    QCOMPARE(g_launches.size(), launches);
}

// Anything that is not a std::exception ends the process through qFatal;
// seen from outside in a child run of this test program.
void TestExceptionStableApp::unknownExceptionEndsProcess()
{
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {"--child-throw-int"});
    QVERIFY(child.waitForFinished(20000));
    QCOMPARE(child.exitStatus(), QProcess::CrashExit);
    const QString err = QString::fromUtf8(child.readAllStandardError());
    QVERIFY2(err.contains(QStringLiteral("[FATAL] UNKNOWN EXCEPTION OCCURED. Application will "
                                         "terminate. Consider contacting developpers to resolve "
                                         "this issue.")),
             qPrintable(err));
    QVERIFY(!err.contains(QStringLiteral("launch")));
}

// The real launcher: the copy must start, detached, with the two arguments.
void TestExceptionStableApp::realLauncherStartsDetachedCopy()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString marker = dir.filePath(QStringLiteral("copy-ran"));
    QFile script(dir.filePath(QStringLiteral("copy.sh")));
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write(QByteArray("#!/bin/sh\necho \"$@\" > ") + QFile::encodeName(marker) + "\n");
    script.close();
    script.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    ExceptionStableApp::setLauncher(nullptr);
    QVERIFY(ExceptionStableApp::launcher()(script.fileName(),
                                           ExceptionStableApp::restartArguments(-10)));
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(marker).size() > 0, 10000);
    QFile f(marker);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), QByteArray("--restart 10\n"));
}

int main(int argc, char *argv[])
{
    ExceptionStableApp app(argc, argv);
    if (argc > 1 && qstrcmp(argv[1], "--child-throw-int") == 0) {
        const rlimit noCore = {0, 0}; // the abort is expected; leave no core file
        ::setrlimit(RLIMIT_CORE, &noCore);
        ServiceLog::addSink(std::make_shared<ServiceLog::StderrSink>());
        qInstallMessageHandler(ServiceLog::messageHandler);
        ExceptionStableApp::setLauncher([](const QString &, const QStringList &) {
            std::fputs("launch\n", stderr);
            return true;
        });
        QTimer::singleShot(0, &app, [] { throw 42; });
        return ExceptionStableApp::execWithRestart();
    }
    TestExceptionStableApp test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_exceptionstableapp.moc"
