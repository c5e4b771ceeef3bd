#include "icommonsmsinterface.h"
#include "pluginfolder.h"
#include "providerplugins.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const char *const TestId = "ZEL_SMS_PROVIDER_TEST";

// What each fixture file is, by the name it gets in the temporary directory.
struct Fixture
{
    const char *name;
    const char *source;
    enum Kind
    {
        Loads,
        Unloadable,
        NoInterface,
        NotAPlugin
    } kind;
    const char *variant;
};

const Fixture fixtures[] = {
    {"first.so", PLUGIN_FIRST, Fixture::Loads, "first"},
    {"second.so", PLUGIN_SECOND, Fixture::Loads, "second"},
    {"nointerface.so", PLUGIN_NOINTERFACE, Fixture::NoInterface, nullptr},
    {"unloadable.so", PLUGIN_UNLOADABLE, Fixture::Unloadable, nullptr},
    {"readme.txt", nullptr, Fixture::NotAPlugin, nullptr},
};

const Fixture *fixture(const QString &fileName)
{
    for (const Fixture &f : fixtures)
        if (fileName == QLatin1String(f.name))
            return &f;
    return nullptr;
}

QString variantOf(ICommonSmsInterface *p)
{
    return p ? p->parameter(100).toString() : QStringLiteral("null");
}

} // namespace

class tst_ProviderPlugins : public QObject
{
    Q_OBJECT
private slots:
    void pluginDirectory_data();
    void pluginDirectory();
    void filesInDirectory();
    void missingDirectoryIsEmpty();
    void metaData_data();
    void metaData();
    void loadProvider_data();
    void loadProvider();
    void unloadableIsExplained();
    void sameRootObjectTwice();
    void createProvider_data();
    void createProvider();

private:
    QString makeDir(QTemporaryDir &tmp, const QStringList &names);
};

void tst_ProviderPlugins::pluginDirectory_data()
{
    QTest::addColumn<QString>("appDir");
    QTest::addColumn<QString>("expected");
    QTest::newRow("plain-bin") << "/opt/zel/bin"
                               << "/opt/zel/bin/providers";
    QTest::newRow("Release-capital") << "/opt/zel/Release"
                                     << "/opt/zel/providers";
    QTest::newRow("release-lower") << "/opt/zel/release"
                                   << "/opt/zel/providers";
    QTest::newRow("DEBUG-upper") << "/opt/zel/DEBUG"
                                 << "/opt/zel/providers";
    QTest::newRow("releases-is-not-release") << "/opt/zel/releases"
                                             << "/opt/zel/releases/providers";
    QTest::newRow("release-in-parent-only") << "/opt/release/bin"
                                            << "/opt/release/bin/providers";
}

void tst_ProviderPlugins::pluginDirectory()
{
    QFETCH(QString, appDir);
    QFETCH(QString, expected);
    QCOMPARE(ProviderPlugins::pluginDirectory(appDir), expected);
}

QString tst_ProviderPlugins::makeDir(QTemporaryDir &tmp, const QStringList &names)
{
    for (const QString &name : names) {
        const Fixture *f = fixture(name);
        if (!f)
            return QString();
        const QString to = tmp.filePath(name);
        if (f->source) {
            if (!QFile::copy(QString::fromUtf8(f->source), to))
                return QString();
        } else {
            QFile text(to);
            if (!text.open(QIODevice::WriteOnly))
                return QString();
            text.write("not a plug-in\n");
        }
    }
    return tmp.path();
}

void tst_ProviderPlugins::filesInDirectory()
{
    QTemporaryDir tmp;
    const QString dir = makeDir(tmp, {"first.so", "readme.txt"});
    QVERIFY(!dir.isEmpty());
    QVERIFY(QDir(dir).mkdir("subdir.so"));
    QStringList files = ProviderPlugins::providerPluginFiles(dir);
    files.sort();
    QCOMPARE(files, (QStringList{tmp.filePath("first.so"), tmp.filePath("readme.txt")}));
    for (const QString &f : files)
        QVERIFY2(QFileInfo(f).isAbsolute(), qPrintable(f));
}

void tst_ProviderPlugins::missingDirectoryIsEmpty()
{
    QTemporaryDir tmp;
    const QString missing = tmp.filePath("providers");
    QVERIFY(ProviderPlugins::providerPluginFiles(missing).isEmpty());
    QCOMPARE(ProviderPlugins::loadProvider(TestId, missing), nullptr);
}

void tst_ProviderPlugins::metaData_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("providerId");
    QTest::newRow("valid") << "first.so" << TestId;
    QTest::newRow("unloadable-still-has-metadata") << "unloadable.so" << TestId;
    QTest::newRow("text-file-empty") << "readme.txt" << QString();
}

void tst_ProviderPlugins::metaData()
{
    QFETCH(QString, file);
    QFETCH(QString, providerId);
    QTemporaryDir tmp;
    QVERIFY(!makeDir(tmp, {file}).isEmpty());
    const QJsonObject meta = ProviderPlugins::pluginMetaData(tmp.filePath(file));
    QCOMPARE(meta.value("provider_id").toString(), providerId);
    if (providerId.isEmpty()) {
        QVERIFY(meta.isEmpty());
    } else {
        QCOMPARE(meta.value("provider_info").toObject().value("providerRegKey").toString(),
                 QStringLiteral("TestProvider"));
    }
}

void tst_ProviderPlugins::loadProvider_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QString>("id");

    QTest::newRow("single-valid") << QStringList{"first.so"} << TestId;
    QTest::newRow("duplicate-id-first-in-listing-wins")
        << QStringList{"first.so", "second.so"} << TestId;
    QTest::newRow("unloadable-and-loadable-same-id")
        << QStringList{"unloadable.so", "first.so"} << TestId;
    QTest::newRow("only-unloadable") << QStringList{"unloadable.so"} << TestId;
    QTest::newRow("no-interface-only") << QStringList{"nointerface.so"} << TestId;
    QTest::newRow("no-interface-ends-search")
        << QStringList{"nointerface.so", "first.so"} << TestId;
    QTest::newRow("text-file-skipped") << QStringList{"readme.txt", "first.so"} << TestId;
    QTest::newRow("unknown-id") << QStringList{"first.so"} << "ZEL_SMS_PROVIDER_NONE";
    QTest::newRow("id-is-case-sensitive") << QStringList{"first.so"} << "zel_sms_provider_test";
    QTest::newRow("empty-id-matches-nothing") << QStringList{"readme.txt"} << QString();
}

void tst_ProviderPlugins::loadProvider()
{
    QFETCH(QStringList, files);
    QFETCH(QString, id);
    QTemporaryDir tmp;
    const QString dir = makeDir(tmp, files);
    QVERIFY(!dir.isEmpty());

    // The listing is unsorted, so the expectation follows the rule over the
    // order the directory actually has: the first file with the id that
    // loads decides; a root object without the interface decides "none".
    QString expected = QStringLiteral("null");
    for (const QString &path : ProviderPlugins::providerPluginFiles(dir)) {
        const Fixture *f = fixture(QFileInfo(path).fileName());
        QVERIFY(f);
        if (id != QLatin1String(TestId) || f->kind == Fixture::NotAPlugin ||
            f->kind == Fixture::Unloadable)
            continue;
        if (f->kind == Fixture::Loads)
            expected = QString::fromLatin1(f->variant);
        break;
    }
    for (const QString &f : files)
        if (f == "unloadable.so" && id == TestId)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("cannot load .*unloadable\\.so"));
    if (files.contains("nointerface.so") && expected == "null")
        QTest::ignoreMessage(
            QtWarningMsg,
            QRegularExpression(
                "nointerface\\.so does not implement org\\.zel\\.sms\\.ICommonSmsInterface"));
    QCOMPARE(variantOf(ProviderPlugins::loadProvider(id, dir)), expected);
}

void tst_ProviderPlugins::unloadableIsExplained()
{
    QTemporaryDir tmp;
    QVERIFY(!makeDir(tmp, {"unloadable.so"}).isEmpty());
    QTest::ignoreMessage(
        QtWarningMsg,
        QRegularExpression(QStringLiteral("cannot load %1.*zel_test_symbol_nobody_defines")
                               .arg(QRegularExpression::escape(tmp.filePath("unloadable.so")))));
    QCOMPARE(ProviderPlugins::loadProvider(TestId, tmp.path()), nullptr);
}

void tst_ProviderPlugins::sameRootObjectTwice()
{
    QTemporaryDir tmp;
    QVERIFY(!makeDir(tmp, {"first.so"}).isEmpty());
    ICommonSmsInterface *a = ProviderPlugins::loadProvider(TestId, tmp.path());
    ICommonSmsInterface *b = ProviderPlugins::loadProvider(TestId, tmp.path());
    QVERIFY(a);
    QCOMPARE(a, b);
    a->enqueueSms(SmsText::makeMessage("1", "kept", 1));
    QCOMPARE(b->parameter(101).toInt(), 1); // the library stayed loaded with its state
}

void tst_ProviderPlugins::createProvider_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("warning");

    QTest::newRow("made-by-factory") << QStringList{"first.so"} << "first" << QString();
    QTest::newRow("unloadable-skipped") << QStringList{"unloadable.so", "first.so"} << "first"
                                        << "cannot load .*unloadable\\.so";
    QTest::newRow("root-without-factory")
        << QStringList{"nointerface.so"} << "null"
        << "nointerface\\.so does not implement org\\.zel\\.sms\\.IProviderFactory";
}

void tst_ProviderPlugins::createProvider()
{
    QFETCH(QStringList, files);
    QFETCH(QString, expected);
    QFETCH(QString, warning);
    QTemporaryDir tmp;
    QVERIFY(!makeDir(tmp, files).isEmpty());
    const PluginFolder folder(tmp.path());
    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
    std::unique_ptr<QObject> a = ProviderPlugins::createProvider(TestId, "PathA", folder);
    QCOMPARE(variantOf(qobject_cast<ICommonSmsInterface *>(a.get())), expected);
    if (!a)
        return;
    // Each call makes a provider of its own, none of them the root object,
    // and the library is loaded once: the root keeps its state throughout.
    ICommonSmsInterface *root = ProviderPlugins::loadProvider(TestId, folder);
    std::unique_ptr<QObject> b = ProviderPlugins::createProvider(TestId, "PathB", folder);
    auto *pa = qobject_cast<ICommonSmsInterface *>(a.get());
    auto *pb = qobject_cast<ICommonSmsInterface *>(b.get());
    QVERIFY(pb && pa != pb && pa != root && pb != root);
    pa->enqueueSms(SmsText::makeMessage("1", "a", 1));
    root->enqueueSms(SmsText::makeMessage("1", "r", 1));
    a.reset();
    QCOMPARE(pb->parameter(101).toInt(), 0);
    QCOMPARE(root->parameter(101).toInt(), 1);
}

QTEST_GUILESS_MAIN(tst_ProviderPlugins)
#include "tst_providerplugins.moc"
