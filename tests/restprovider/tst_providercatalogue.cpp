#include "providercatalogue.h"
#include "providerplugins.h"
#include "settingslocation.h"
#include "zeltestmain.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QSettings>
#include <QtTest>
#include <pwd.h>
#include <unistd.h>

using namespace ProviderCatalogue;

class TestProviderCatalogue : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_plugins;
    QString dir() const { return m_plugins.path(); }
    QString settingsFile() const { return SettingsLocation::systemSettingsFile("SMSProviders"); }

    // The metadata of the first listed file with this id: what "first wins" means.
    QJsonObject firstWithId(const QString &id) const
    {
        for (const QString &path : ProviderPlugins::providerPluginFiles(dir())) {
            const QJsonObject meta = ProviderPlugins::pluginMetaData(path);
            if (meta.value("provider_id").toString() == id)
                return meta;
        }
        return QJsonObject();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_plugins.isValid());
        QVERIFY(QFile::copy(SMSRU_PLUGIN_PATH, m_plugins.filePath("prov_SmsRU.so")));
        const QDir testPlugins(TEST_PLUGIN_DIR);
        const QStringList files = testPlugins.entryList(QDir::Files);
        QCOMPARE(files.size(), 4);
        for (const QString &f : files)
            QVERIFY(QFile::copy(testPlugins.filePath(f), m_plugins.filePath(f)));
        QFile readme(m_plugins.filePath("readme.txt"));
        QVERIFY(readme.open(QIODevice::WriteOnly));
        readme.write("not a plug-in\n");
    }

    void cleanup()
    {
        QFileInfo info(settingsFile());
        if (info.isDir())
            QDir(info.filePath()).removeRecursively();
        else
            QFile::remove(info.filePath());
    }

    void availableProvidersOnlyWithId()
    {
        const QList<ProviderEntry> entries = availableProviders(dir());
        QList<ProviderEntry> expected;
        for (const QString &path : ProviderPlugins::providerPluginFiles(dir())) {
            const QJsonObject meta = ProviderPlugins::pluginMetaData(path);
            const QString id = meta.value("provider_id").toString();
            if (!id.isEmpty())
                expected << ProviderEntry(id, meta.value("display_name").toString());
        }
        QCOMPARE(entries, expected); // listing order
        QCOMPARE(entries.size(), 4);
        QVERIFY(entries.contains(ProviderEntry("ZEL_SMS_PROVIDER_SMSRU", "SMS.RU")));
        QVERIFY(entries.contains(ProviderEntry("ZEL_SMS_PROVIDER_SMSRU", "Duplicate of SmsRU")));
        for (const ProviderEntry &e : entries)
            QVERIFY(!e.first.isEmpty());
    }

    void firstFileWins_data()
    {
        QTest::addColumn<QString>("id");
        QTest::newRow("duplicate-smsru") << "ZEL_SMS_PROVIDER_SMSRU";
        QTest::newRow("single-modem") << "ZEL_SMS_PROVIDER_TESTMODEM";
    }
    void firstFileWins()
    {
        QFETCH(QString, id);
        const QJsonObject first = firstWithId(id);
        QVERIFY(!first.isEmpty());
        QCOMPARE(providerInfo(id, dir()), first.value("provider_info").toObject().toVariantMap());
        QCOMPARE(providerSettingsTemplate(id, dir()), first.value("settings_template"));
        QVERIFY(providerSettingsTemplate(id, dir()).isArray());
    }

    void unknownIdGivesEmptyAndWritesNothing()
    {
        QVERIFY(providerInfo("ZEL_SMS_PROVIDER_NONE", dir()).isEmpty());
        QVERIFY(providerSettingsTemplate("ZEL_SMS_PROVIDER_NONE", dir()).isNull());
        QVERIFY(providerSettings("ZEL_SMS_PROVIDER_NONE", dir()).isEmpty());
        QVERIFY(!saveProviderSettings("ZEL_SMS_PROVIDER_NONE", {{"apiKey", "x"}}, dir()));
        QSettings s(QSettings::NativeFormat, QSettings::SystemScope, "ZELORG", "SMSProviders");
        QVERIFY(s.allKeys().isEmpty());
    }

    void noRegistryKeyRefused()
    {
        QVERIFY(!saveProviderSettings("ZEL_SMS_PROVIDER_NOREGKEY", {{"apiKey", "x"}}, dir()));
        QSettings s(QSettings::NativeFormat, QSettings::SystemScope, "ZELORG", "SMSProviders");
        QVERIFY(!s.contains("apiKey"));
    }

    void saveAndReadBack_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QString>("fileKey");
        QTest::newRow("modem-sub-group")
            << "ZEL_SMS_PROVIDER_TESTMODEM"
            << "ModemSettings/pinCode" << QVariant("1234") << "GSMModem/ModemSettings/pinCode";
        QTest::newRow("modem-top") << "ZEL_SMS_PROVIDER_TESTMODEM"
                                   << "comPort" << QVariant("ttyUSB0") << "GSMModem/comPort";
        QTest::newRow("smsru-cyrillic") << "ZEL_SMS_PROVIDER_SMSRU"
                                        << "senderID" << QVariant("Охрана") << "SmsRU/senderID";
        QTest::newRow("smsru-int") << "ZEL_SMS_PROVIDER_SMSRU"
                                   << "retry" << QVariant(7) << "SmsRU/retry";
    }
    void saveAndReadBack()
    {
        QFETCH(QString, id);
        QFETCH(QString, key);
        QFETCH(QVariant, value);
        QFETCH(QString, fileKey);
        QVERIFY(saveProviderSettings(id, {{key, value}}, dir()));
        QSettings s(QSettings::NativeFormat, QSettings::SystemScope, "ZELORG", "SMSProviders");
        QCOMPARE(s.value(fileKey).toString(), value.toString());
        const QVariantMap back = providerSettings(id, dir());
        QCOMPARE(back.keys(), QStringList{key});
        QCOMPARE(back.value(key).toString(), value.toString());
    }

    void saveKeepsKeysNotInMap()
    {
        const QString id = "ZEL_SMS_PROVIDER_SMSRU";
        QVERIFY(saveProviderSettings(id, {{"apiKey", "old"}, {"senderID", "Zel"}}, dir()));
        QVERIFY(saveProviderSettings(id, {{"apiKey", "new"}}, dir()));
        const QVariantMap back = providerSettings(id, dir());
        QCOMPARE(back.value("apiKey").toString(), QString("new"));
        QCOMPARE(back.value("senderID").toString(), QString("Zel"));
    }

    void savedFileIsOwnerOnly_data()
    {
        QTest::addColumn<bool>("preexisting");
        QTest::newRow("new-file") << false;
        QTest::newRow("world-readable-file") << true;
    }
    void savedFileIsOwnerOnly()
    {
        QFETCH(bool, preexisting);
        if (preexisting) {
            QDir().mkpath(QFileInfo(settingsFile()).absolutePath());
            QFile f(settingsFile());
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("[Other]\nkey=1\n");
            f.close();
            QVERIFY(f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup |
                                     QFile::ReadOther));
        }
        QVERIFY(saveProviderSettings("ZEL_SMS_PROVIDER_SMSRU", {{"apiKey", "secret"}}, dir()));
        const QFile::Permissions perms = QFileInfo(settingsFile()).permissions();
        QVERIFY(perms & QFile::ReadOwner);
        QVERIFY(perms & QFile::WriteOwner);
        QVERIFY(!(perms &
                  (QFile::ReadGroup | QFile::ReadOther | QFile::WriteGroup | QFile::WriteOther)));
    }

    // Root writes the settings, the service's account must read them: the
    // file changes hands when the account exists and stays root's otherwise.
    void protectedFileOwner_data()
    {
        QTest::addColumn<QString>("account");
        QTest::addColumn<bool>("viaLink");
        QTest::addColumn<bool>("handedOver");
        QTest::newRow("existing-account") << "nobody" << false << true;
        QTest::newRow("missing-account") << "zel-no-such-account" << false << false;
        QTest::newRow("no-account") << "" << false << false;
        QTest::newRow("link-keeps-target-owner") << "nobody" << true << false;
    }
    void protectedFileOwner()
    {
        QFETCH(QString, account);
        QFETCH(bool, viaLink);
        QFETCH(bool, handedOver);
        if (::geteuid() != 0)
            QSKIP("only root can hand a file to another account");
        const struct passwd *nobody = ::getpwnam("nobody");
        if (!nobody)
            QSKIP("no account 'nobody' on this machine");
        QTemporaryDir elsewhere;
        const QString target = elsewhere.filePath("target");
        if (viaLink) {
            QVERIFY(QDir().mkpath(QFileInfo(settingsFile()).absolutePath()));
            QFile t(target);
            QVERIFY(t.open(QIODevice::WriteOnly));
            t.close();
            QVERIFY(QFile::link(target, settingsFile()));
        }
        QVERIFY(SettingsLocation::protectSettingsFile(settingsFile(), account));
        const QFileInfo info(viaLink ? target : settingsFile());
        QCOMPARE(info.ownerId(), handedOver ? uint(nobody->pw_uid) : 0u);
        const QFile::Permissions unixBits = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                            QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
                                            QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
        QCOMPARE(info.permissions() & unixBits, QFile::ReadOwner | QFile::WriteOwner);
    }

    void unwritableSettingsReportFailure()
    {
        // A directory where the file should be: the write cannot succeed.
        QVERIFY(QDir().mkpath(settingsFile()));
        QVERIFY(!saveProviderSettings("ZEL_SMS_PROVIDER_SMSRU", {{"apiKey", "x"}}, dir()));
    }

    void emptyPluginDirectory()
    {
        QTemporaryDir empty;
        QVERIFY(availableProviders(empty.path()).isEmpty());
        QVERIFY(providerInfo("ZEL_SMS_PROVIDER_SMSRU", empty.path()).isEmpty());
        QVERIFY(availableProviders(empty.filePath("missing")).isEmpty());
    }
};

ZEL_TEST_MAIN(TestProviderCatalogue)
#include "tst_providercatalogue.moc"
