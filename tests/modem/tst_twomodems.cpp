#include "icommonsmsinterface.h"
#include "ismsoutcomeinterface.h"
#include "logcapture.h"
#include "modememulator.h"
#include "pluginfolder.h"
#include "providerplugins.h"
#include "providersettingsgroup.h"
#include "zeltestmain.h"

#include <QFileInfo>
#include <QtTest>
#include <memory>

// Two modems driven by one process: both made by the real plug-in's factory,
// each on its own settings group and its own emulated modem. Every command
// of one must reach its own modem, and what it learns (status word, balance,
// outcomes) must be its own, and its log lines must say whose they are.
namespace {

struct OutcomeLog : ISmsOutcomeSink
{
    QList<QPair<quint64, int>> outcomes;
    void smsOutcome(quint64 spoolId, int outcome, const QString &) override
    {
        outcomes.append({spoolId, outcome});
    }
};

struct Path
{
    QString group;
    QByteArray ussd;  // the balance request this path's settings name
    QString answer;   // what its operator answers
    double balance;   // the figure in that answer
    QByteArray phone; // the recipient of the SMS given to this path
    quint64 spoolId;
};

} // namespace

class TestTwoModems : public QObject
{
    Q_OBJECT

private slots:
    void eachPathDrivesItsOwnModem();
};

void TestTwoModems::eachPathDrivesItsOwnModem()
{
    const Path paths[2] = {
        {"GSMModem", "*100#", QString::fromUtf8("Баланс 11,50 р."), 11.5, "79001110001", 1},
        {"GSMModem-2", "*102#", QString::fromUtf8("Баланс 22,75 р."), 22.75, "79002220002", 2},
    };
    LogCapture log;
    ModemEmulator modems[2];
    std::unique_ptr<QObject> made[2];
    OutcomeLog sinks[2];
    const PluginFolder folder(QFileInfo(QStringLiteral(PROV_MODEM_PLUGIN)).absolutePath());
    for (int i = 0; i < 2; ++i) {
        QVERIFY2(modems[i].start(), qPrintable(modems[i].errorString()));
        modems[i].setWriteGapMs(2);
        modems[i].model().setUssdAnswer(paths[i].answer);
        ProviderSettingsGroup settings(paths[i].group);
        settings.setValue("comPort", modems[i].devicePath());
        settings.setValue("balancePhone", QString::fromLatin1(paths[i].ussd));
        settings.sync();
    }
    for (int i = 0; i < 2; ++i) {
        made[i] = ProviderPlugins::createProvider("ZEL_SMS_PROVIDER_MODEM", paths[i].group, folder);
        QVERIFY(made[i]);
    }
    ICommonSmsInterface *providers[2];
    for (int i = 0; i < 2; ++i) {
        providers[i] = qobject_cast<ICommonSmsInterface *>(made[i].get());
        auto *tracked = qobject_cast<ISmsOutcomeInterface *>(made[i].get());
        QVERIFY(providers[i] && tracked);
        QVERIFY(providers[i]->readSettings());
        QCOMPARE(providers[i]->parameter(ParamDevicePath).toString(),
                 QFileInfo(modems[i].devicePath()).canonicalFilePath());
        tracked->setOutcomeSink(&sinks[i]);
        tracked->enqueueTracked(paths[i].spoolId, SmsText::makeMessage(paths[i].phone, "alarm", 1));
        providers[i]->start();
    }

    for (int i = 0; i < 2; ++i) {
        QTRY_COMPARE_WITH_TIMEOUT(sinks[i].outcomes.size(), 1, 20000);
        QCOMPARE(sinks[i].outcomes.first(), qMakePair(paths[i].spoolId, int(OutcomeDelivered)));
        int known = 0;
        QTRY_VERIFY_WITH_TIMEOUT((providers[i]->balance(&known), known == 1), 20000);
        QCOMPARE(providers[i]->balance(&known), paths[i].balance);
        QCOMPARE(providers[i]->providerStatus(), int(StatusOk));
        // 1, answered, registered: the word of this path's modem.
        QCOMPARE(providers[i]->parameter(ParamDeviceStatus).toUInt() >> 8, 0x010101u);
        const ModemModel &model = modems[i].model();
        QCOMPARE(model.receivedSms().size(), 1);
        QVERIFY(model.receivedSms().first().info.number.endsWith(paths[i].phone.right(10)));
        QCOMPARE(model.lastUssdCode(), paths[i].ussd);
    }
    // The usual group's lines stay as they always were; the other group's
    // lines end with its name.
    const QStringList debug = log.messages(QtDebugMsg);
    for (int i = 0; i < 2; ++i) {
        const QString origin = i ? QStringLiteral(" [GSMModem-2]") : QString();
        QCOMPARE(debug.count(QString::fromUtf8("Запуск провайдера SMS оповещений") + origin), 1);
        const QRegularExpression sent(QString::fromUtf8("^Отправлено SMS на номер \\d?") +
                                      QString::fromLatin1(paths[i].phone.right(10)) +
                                      QRegularExpression::escape(origin) + QLatin1Char('$'));
        QCOMPARE(debug.filter(sent).size(), 1);
        // The modem library's own lines as well.
        const QRegularExpression ready(
            QString::fromUtf8("^\"GSM модем успешно инициализирован[^\"]*\"") +
            QRegularExpression::escape(origin) + QLatin1Char('$'));
        QCOMPARE(debug.filter(ready).size(), 1);
    }
    for (int i = 0; i < 2; ++i)
        providers[i]->stop();
}

ZEL_TEST_MAIN(TestTwoModems)
#include "tst_twomodems.moc"
