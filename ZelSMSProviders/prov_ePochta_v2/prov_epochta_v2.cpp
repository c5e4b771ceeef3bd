#include "prov_epochta_v2.h"

#include "ownmetadata.h"
#include "xmlrequestwriter.h"

#include <QXmlStreamReader>

const char *const PROV_ePochta_v2::DefaultSender = "OHRANA";
const char *const PROV_ePochta_v2::DefaultUrl = "http://atompark.com/members/sms/xml.php";

PROV_ePochta_v2::PROV_ePochta_v2(QObject *parent) : BasicSmsRestProvider(parent)
{
    setSettingsGroup(ownMetaData().registryGroup);
}

QVariant PROV_ePochta_v2::parameter(int id)
{
    static const GatewayParameters params{ownMetaData().id, false, 1, 60};
    return params.value(id);
}

bool PROV_ePochta_v2::readSettings()
{
    m_account =
        GatewayCredentials::read(*this, settingsGroup(), "[PROV_ePochta_v2::readSettings()]");
    if (m_account.senderId.isEmpty())
        m_account.senderId = DefaultSender;
    return m_account.usable;
}

int PROV_ePochta_v2::buildRestRequest(int requestType, QList<SMSMessage> batch,
                                      QNetworkRequest *request, QByteArray *body, QString *method)
{
    if (requestType != RequestSms && requestType != RequestBalance)
        return 1;
    if (requestType == RequestSms && batch.size() != 1)
        return 1;
    request->setHeader(QNetworkRequest::ContentTypeHeader, "text/xml");
    request->setUrl(endpoint(DefaultUrl));
    *method = "POST";

    XmlRequestWriter xml;
    xml.startElement("SMS");
    xml.startElement("operations");
    xml.textElement("operation", requestType == RequestBalance ? "BALANCE" : "SEND");
    xml.endElement();
    xml.startElement("authentification");
    xml.textElement("username", m_account.login);
    xml.textElement("password", m_account.password);
    xml.endElement();
    if (requestType == RequestSms) {
        xml.startElement("message");
        xml.textElement("text", messageText(batch.first()));
        xml.textElement("sender", m_account.senderId);
        xml.endElement();
        xml.startElement("numbers");
        for (const SMSMessage &msg : batch)
            xml.textElement("number", formatPhone(msg, "7"));
        xml.endElement();
    }
    *body = xml.finish();
    return 0;
}

QVariantMap PROV_ePochta_v2::parseReply(int requestType, const QByteArray &body)
{
    int status = -2;
    bool statusRead = false;
    double amount = 0.0;
    bool amountRead = false;

    QXmlStreamReader xml(body);
    if (xml.readNextStartElement() && xml.name() == QLatin1String("RESPONSE")) {
        while (xml.readNextStartElement()) {
            if (xml.name() == QLatin1String("status")) {
                const int parsed = xml.readElementText().toInt(&statusRead);
                if (statusRead)
                    status = parsed;
            } else if (xml.name() == QLatin1String("amount")) {
                amount = xml.readElementText().toDouble(&amountRead);
            } else {
                xml.skipCurrentElement();
            }
        }
    }

    QVariantMap result;
    if (requestType == RequestSms) {
        result.insert(ResultKey::Success, statusRead && status > 0);
        result.insert(ResultKey::Spent, amount);
    } else {
        result.insert(ResultKey::Success, statusRead && amountRead && status == 0);
        result.insert(ResultKey::Balance, amount);
    }

    QString errorText;
    if (status == -1)
        errorText = tr("Неверный логин или пароль");
    else if (status == -3)
        errorText = tr("Недостаточно средств");
    else if (status == -4)
        errorText = tr("Неверные номера получателей");
    else if (status < 0)
        errorText = tr("Неверный формат XML запроса");
    result.insert(ResultKey::ErrorCode, status);
    result.insert(ResultKey::ErrorText, errorText);
    return result;
}

QVariantMap PROV_ePochta_v2::parseRestReply(const SentRequest &sent, const QByteArray &reply)
{
    return parseReply(sent.type, reply);
}
