#include "prov_smsgorod.h"

#include "ismsoutcomeinterface.h"
#include "logtext.h"
#include "ownmetadata.h"
#include "settingstext.h"
#include "xmlrequestwriter.h"

#include <QDebug>
#include <QSettings>
#include <QXmlStreamReader>

const char *const PROV_SmsGorod::DefaultSender = "SmsGorod";
const char *const PROV_SmsGorod::DirectHost = "http://web.smsgorod.ru";
const char *const PROV_SmsGorod::DigitalHost = "http://new.smsgorod.ru";

PROV_SmsGorod::PROV_SmsGorod(QObject *parent) : BasicSmsRestProvider(parent)
{
    setSettingsGroup(ownMetaData().registryGroup);
}

QVariant PROV_SmsGorod::parameter(int id)
{
    static const GatewayParameters params{ownMetaData().id, true, MaxBatch, 60};
    return params.value(id);
}

bool PROV_SmsGorod::readSettings()
{
    bool channelValid = true;
    m_account = GatewayCredentials::read(
        *this, settingsGroup(), "[PROV_SmsGorod::readSettings()]",
        [this, &channelValid](const QSettings &group) {
            m_flash = group.value("flashSms", false).toBool();
            m_channel = -1;
            const QString text = SettingsText::read(group, QStringLiteral("channel")).trimmed();
            // Without a channel there is no host to send to.
            if (text.isEmpty())
                return QStringList{"channel"};
            // toInt() would make "abc" the direct channel without a word.
            if (text == QLatin1String("0") || text == QLatin1String("1")) {
                m_channel = text.toInt();
            } else {
                channelValid = false;
                qCWarning(lcGateway).noquote()
                    << QString("[PROV_SmsGorod::readSettings()]: неверное значение channel "
                               "\"%1\" в группе %2 (%3): допустимо 0 (прямой канал) или 1 "
                               "(цифровой канал)")
                               .arg(LogText::escaped(text), group.group(), group.fileName()) +
                           logOrigin();
            }
            return QStringList();
        });
    if (m_account.senderId.isEmpty())
        m_account.senderId = DefaultSender;
    return m_account.usable && channelValid;
}

int PROV_SmsGorod::buildRestRequest(int requestType, QList<SMSMessage> batch,
                                    QNetworkRequest *request, QByteArray *body, QString *method)
{
    request->setHeader(QNetworkRequest::ContentTypeHeader, "text/xml; charset=utf-8");
    *method = "POST";
    const QString host = m_channel == 0 ? DirectHost : DigitalHost;

    XmlRequestWriter xml;
    xml.startElement("request");
    xml.startElement("security");
    xml.emptyElement("login", {{"value", m_account.login}});
    xml.emptyElement("password", {{"value", m_account.password}});
    xml.endElement();

    if (requestType == RequestSms) {
        if (batch.isEmpty() || batch.size() > MaxBatch)
            return 1;
        int counter = 0;
        for (const SMSMessage &msg : batch) {
            xml.startElement("message");
            xml.attribute("type", m_flash ? "flashsms" : "sms");
            xml.textElement("sender", m_account.senderId);
            xml.textElement("text", messageText(msg));
            xml.emptyElement("abonent", {{"phone", formatPhone(msg, "7")},
                                         {"number_sms", QString::number(++counter)}});
            xml.endElement();
        }
        request->setUrl(endpoint(host + "/xml/"));
    } else if (requestType == RequestBalance) {
        request->setUrl(endpoint(host + "/xml/balance.php"));
    } else {
        return 1;
    }
    *body = xml.finish();
    return 0;
}

QVariantMap PROV_SmsGorod::parseReply(int requestType, const QByteArray &body)
{
    QString errorText = tr("Неверный формат XML запроса");
    double balance = 0.0;
    bool moneyRead = false;
    int code = -1;

    QXmlStreamReader xml(body);
    if (xml.readNextStartElement() && xml.name() == QLatin1String("response")) {
        if (requestType == RequestSms)
            errorText.clear();
        while (xml.readNextStartElement()) {
            if (xml.name() == QLatin1String("error")) {
                errorText = xml.readElementText();
                break;
            }
            if (xml.name() == QLatin1String("information")) {
                const QString text = xml.readElementText();
                if (text == QLatin1String("send")) {
                    code = 0;
                    break;
                }
                if (errorText.isEmpty()) {
                    errorText = text;
                    code = -2;
                }
            } else if (xml.name() == QLatin1String("money")) {
                balance = xml.readElementText().toDouble(&moneyRead);
                code = moneyRead ? 0 : -3;
            } else {
                xml.skipCurrentElement();
            }
        }
    }

    QVariantMap result;
    if (requestType == RequestSms) {
        result.insert(ResultKey::Success, code == 0);
    } else {
        result.insert(ResultKey::Success, moneyRead && code == 0);
        result.insert(ResultKey::Balance, balance);
    }
    if (code >= 0)
        errorText.clear();
    result.insert(ResultKey::ErrorCode, code);
    result.insert(ResultKey::ErrorText, errorText);
    return result;
}

QList<QPair<int, QString>> PROV_SmsGorod::refusedMessages(const QByteArray &body)
{
    QList<QPair<int, QString>> refused;
    QXmlStreamReader xml(body);
    if (!xml.readNextStartElement() || xml.name() != QLatin1String("response"))
        return refused;
    int position = 0;
    while (xml.readNextStartElement()) {
        if (xml.name() != QLatin1String("information")) {
            xml.skipCurrentElement();
            continue;
        }
        ++position;
        bool numbered = false;
        const int number = xml.attributes().value("number_sms").toInt(&numbered);
        const QString text = xml.readElementText();
        if (text != QLatin1String("send"))
            refused.append(qMakePair(numbered ? number : position, text));
    }
    return refused;
}

QVariantMap PROV_SmsGorod::parseRestReply(const SentRequest &sent, const QByteArray &reply)
{
    QVariantMap result = parseReply(sent.type, reply);
    // One "send" makes the whole batch count as delivered; the messages
    // refused beside it are named in the log and recorded one by one. The
    // gateway numbers them (number_sms) from 1 in batch order.
    if (sent.type == RequestSms && result.value(ResultKey::Success).toBool()) {
        QVariantList positions, reasons;
        for (const auto &refusal : refusedMessages(reply)) {
            const bool known = refusal.first >= 1 && refusal.first <= sent.batch.size();
            const int at = known ? refusal.first - 1 : -1;
            if (known && !positions.contains(at)) {
                positions.append(at);
                reasons.append(refusal.second);
            }
            const QString phone = known ? formatPhone(sent.batch.at(at), "8") : QString("?");
            qCWarning(lcGateway)
                << QString("[PROV_SmsGorod::parseRestReply()]: SMS на номер %1 не принято "
                           "шлюзом: \"%2\"")
                           .arg(phone, refusal.second) +
                       logOrigin();
        }
        result.insert(ResultKey::Refused, positions);
        result.insert(ResultKey::RefusedReasons, reasons);
    }
    return result;
}
