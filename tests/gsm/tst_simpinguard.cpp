#include "simpinguard.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

// The SIM's tries are counted in a file that outlives the run. Whatever lies
// at its path that the guard did not write must stop every PIN, and must be
// left as found: counting afresh is how a SIM ends up asking for its PUK.
class TestSimPinGuard : public QObject
{
    Q_OBJECT
private slots:
    void stateFileDecidesWhetherPinMayGo_data();
    void stateFileDecidesWhetherPinMayGo();
};

void TestSimPinGuard::stateFileDecidesWhetherPinMayGo_data()
{
    QTest::addColumn<QString>("found"); // what lies at the state path
    QTest::addColumn<bool>("trusted");
    QTest::addColumn<bool>("mayTry2222");

    QTest::newRow("missing-first-start") << "missing" << true << true;
    QTest::newRow("written-by-guard-1111-refused") << "valid" << true << true;
    QTest::newRow("empty-after-power-cut") << "empty" << false << false;
    QTest::newRow("two-lines-only") << "short" << false << false;
    QTest::newRow("garbage") << "garbage" << false << false;
    QTest::newRow("refusals-out-of-range") << "range" << false << false;
    QTest::newRow("link-to-foreign-file") << "link" << false << false;
    QTest::newRow("directory") << "directory" << false << false;
    QTest::newRow("fifo") << "fifo" << false << false;
    QTest::newRow("owned-by-another-account") << "foreign-owner" << false << false;
}

void TestSimPinGuard::stateFileDecidesWhetherPinMayGo()
{
    QFETCH(QString, found);
    QFETCH(bool, trusted);
    QFETCH(bool, mayTry2222);

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("modem-sim-pin.state"));
    const QString foreign = dir.filePath(QStringLiteral("foreign.conf"));
    const QByteArray foreignText = "not the guard's\n";
    // Reading a FIFO would wait for a writer.
    auto read = [](const QString &from) {
        QFile f(from);
        return QFileInfo(from).isFile() && f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    };
    auto write = [](const QString &to, const QByteArray &data) {
        QFile f(to);
        return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
    };
    QVERIFY(write(foreign, foreignText));
    const QByteArray name = QFile::encodeName(path);
    if (found == "valid") {
        SimPinGuard earlier;
        earlier.setStatePath(path);
        earlier.pinAttempted(QStringLiteral("1111"));
        struct stat st = {};
        QCOMPARE(::stat(name.constData(), &st), 0);
        QCOMPARE(int(st.st_mode & 0777), 0600);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), 2); // no temporary file left
    } else if (found == "empty") {
        QVERIFY(write(path, {}));
    } else if (found == "short") {
        QVERIFY(write(path, "00112233445566778899aabbccddeeff\n\n"));
    } else if (found == "garbage") {
        QVERIFY(write(path, "\x7f"
                            "ELF\x02\x01\x01\n\n\n"));
    } else if (found == "range") {
        QVERIFY(write(path, "00112233445566778899aabbccddeeff\n\n-5\n"));
    } else if (found == "link") {
        QVERIFY(QFile::link(foreign, path));
    } else if (found == "directory") {
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("modem-sim-pin.state")));
    } else if (found == "fifo") {
        QCOMPARE(::mkfifo(name.constData(), 0600), 0);
    } else if (found == "foreign-owner") {
        SimPinGuard earlier;
        earlier.setStatePath(path);
        earlier.pinAttempted(QStringLiteral("1111"));
        if (::chown(name.constData(), ::geteuid() + 1, gid_t(-1)) != 0)
            QSKIP("giving the file to another account needs root");
    }
    const QByteArray content = read(path);

    SimPinGuard guard;
    guard.setStatePath(path);
    QCOMPARE(guard.mayTry(QStringLiteral("2222")), mayTry2222);
    QCOMPARE(guard.mayTry(QStringLiteral("1111")), found == "missing");
    QCOMPARE(guard.isTrusted(), trusted);
    if (trusted)
        return;
    QVERIFY(!guard.distrust().isEmpty());
    // Nothing the provider does later may rewrite it.
    guard.pinAttempted(QStringLiteral("2222"));
    guard.simReady();
    QCOMPARE(read(path), content);
    QCOMPARE(QFileInfo(path).isSymLink(), found == "link");
    QCOMPARE(read(foreign), foreignText);
    SimPinGuard next;
    next.setStatePath(path);
    QVERIFY(!next.mayTry(QStringLiteral("2222")));
}

QTEST_GUILESS_MAIN(TestSimPinGuard)
#include "tst_simpinguard.moc"
