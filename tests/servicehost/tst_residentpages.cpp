#include "residentpages.h"

#include <QFile>
#include <QTemporaryFile>
#include <QtTest>

#include <sys/mman.h>
#include <unistd.h>

// Dropping a page that holds the only copy of data (a relocated table, a
// written private page) would corrupt the program; dropping one that equals
// its file only costs a re-read.
class tst_ResidentPages : public QObject
{
    Q_OBJECT
private slots:
    void onlyUnmodifiedReadOnlyFilePagesGo_data();
    void onlyUnmodifiedReadOnlyFilePagesGo();

private:
    static qint64 residentKb(const void *start);
};

qint64 tst_ResidentPages::residentKb(const void *start)
{
    // The kernel may merge the test's mapping with a neighbour: the one
    // that contains it is read.
    QFile smaps("/proc/self/smaps");
    if (!smaps.open(QIODevice::ReadOnly))
        return -1;
    const quintptr at = quintptr(start);
    bool inside = false;
    for (int i = 0; i < 1000000; ++i) {
        const QByteArray line = smaps.readLine(); // a /proc file has no size: no atEnd()
        if (line.isEmpty())
            break;
        const QList<QByteArray> range = line.split(' ').value(0).split('-');
        bool fromOk = false, toOk = false;
        const quintptr from = range.value(0).toULongLong(&fromOk, 16);
        const quintptr to = range.value(1).toULongLong(&toOk, 16);
        if (range.size() == 2 && fromOk && toOk) {
            inside = from <= at && at < to;
            continue;
        }
        if (inside && line.startsWith("Rss:"))
            return line.mid(4).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

void tst_ResidentPages::onlyUnmodifiedReadOnlyFilePagesGo_data()
{
    QTest::addColumn<bool>("fromFile");
    QTest::addColumn<bool>("writable");
    QTest::addColumn<bool>("written");
    QTest::addColumn<bool>("dropped");
    QTest::newRow("read-only file pages") << true << false << false << true;
    QTest::newRow("file pages written, then read-only") << true << false << true << false;
    QTest::newRow("writable file pages") << true << true << true << false;
    QTest::newRow("anonymous pages") << false << false << true << false;
}

void tst_ResidentPages::onlyUnmodifiedReadOnlyFilePagesGo()
{
    QFETCH(bool, fromFile);
    QFETCH(bool, writable);
    QFETCH(bool, written);
    QFETCH(bool, dropped);
    const long page = sysconf(_SC_PAGESIZE);
    const int pages = 8;
    QTemporaryFile file;
    QVERIFY(file.open());
    QByteArray content(int(page * pages), 'f');
    QVERIFY(file.write(content) == content.size() && file.flush());
    void *at = fromFile ? mmap(nullptr, size_t(page * pages), PROT_READ | PROT_WRITE, MAP_PRIVATE,
                               file.handle(), 0)
                        : mmap(nullptr, size_t(page * pages), PROT_READ | PROT_WRITE,
                               MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    QVERIFY(at != MAP_FAILED);
    auto *bytes = static_cast<char *>(at);
    if (written) {
        for (int i = 0; i < pages; ++i)
            bytes[i * page] = 'w';
        content.fill('w'); // only the first byte of each page checked below
    }
    if (!writable)
        QVERIFY(mprotect(at, size_t(page * pages), PROT_READ) == 0);
    volatile char sum = 0;
    for (int i = 0; i < pages; ++i)
        sum = char(sum + bytes[i * page]);
    QVERIFY(residentKb(at) > 0);

    const ResidentPages::Dropped d = ResidentPages::dropUnmodifiedFilePages();
    QVERIFY(d.ok);
    QCOMPARE(residentKb(at) == 0, dropped);
    for (int i = 0; i < pages; ++i)
        QCOMPARE(bytes[i * page], content.at(int(i * page)));
    munmap(at, size_t(page * pages));
}

QTEST_GUILESS_MAIN(tst_ResidentPages)
#include "tst_residentpages.moc"
