#include "prov_smscenter.h"

#include "formquery.h"
#include "ownmetadata.h"

#include <QSettings>
#include <QXmlStreamReader>

const char *const PROV_SmsCenter::PartnerId = "615032";
const char *const PROV_SmsCenter::DefaultSendUrl = "https://smsc.ru/sys/send.php";
const char *const PROV_SmsCenter::DefaultBalanceUrl = "https://smsc.ru/sys/balance.php";

PROV_SmsCenter::PROV_SmsCenter(QObject *parent) : BasicSmsRestProvider(parent)
{
    setSettingsGroup(ownMetaData().registryGroup);
}

QVariant PROV_SmsCenter::parameter(int id)
{
    static const GatewayParameters params{ownMetaData().id, true, MaxBatch, 60};
    return params.value(id);
}

bool PROV_SmsCenter::readSettings()
{
    m_account = GatewayCredentials::read(*this, settingsGroup(), "[PROV_SmsCenter::readSettings()]",
                                         [this](const QSettings &group) {
                                             m_flash = group.value("flashSms", false).toBool();
                                             m_translit = group.value("translit", false).toBool();
                                             return QStringList();
                                         });
    return m_account.usable;
}

// The gateway splits "list" at line feeds, so a line break inside a text would
// cut the message and turn its remainder into a bogus "number:text" line. The
// gateway reads the two characters "\n" inside a list text as a line break.
QString PROV_SmsCenter::listLine(const QString &phone, const QString &text)
{
    QString escaped = text;
    escaped.replace("\r\n", "\\n").replace('\n', "\\n").replace('\r', "\\n");
    return QString("%1:%2").arg(phone, escaped);
}

int PROV_SmsCenter::buildRestRequest(int requestType, QList<SMSMessage> batch,
                                     QNetworkRequest *request, QByteArray *body, QString *method)
{
    *method = "POST";
    request->setHeader(QNetworkRequest::ContentTypeHeader, "text/plain");

    FormQuery query;
    query.add("login", m_account.login);
    query.add("psw", m_account.password);
    query.add("fmt", "2");
    QUrl url;
    if (requestType == RequestSms) {
        if (batch.isEmpty() || batch.size() > MaxBatch)
            return 1;
        QStringList lines;
        for (const SMSMessage &msg : batch)
            lines.append(listLine(formatPhone(msg, "7"), messageText(msg)));
        query.add("sender", m_account.senderId);
        query.add("translit", m_translit ? "1" : "0");
        query.add("flash", m_flash ? "1" : "0");
        query.add("cost", "2");
        query.add("charset", "utf-8");
        query.add("pp", PartnerId);
        query.add("list", lines.join('\n'));
        url = endpoint(DefaultSendUrl);
    } else if (requestType == RequestBalance) {
        query.add("cur", "0");
        url = endpoint(DefaultBalanceUrl);
    } else {
        return 1;
    }
    QUrl withQuery = url;
    query.applyTo(&withQuery);
    if (withQuery.toEncoded().size() <= MaxUrlLength) {
        request->setUrl(withQuery);
    } else {
        // Too long for a request line: the same items go as a form body, which
        // the gateway reads alike. Otherwise the server's 414 would fail the
        // batch on every retry until the drop rule discards the whole queue.
        request->setUrl(url);
        request->setHeader(QNetworkRequest::ContentTypeHeader, "application/x-www-form-urlencoded");
        *body = query.encoded();
    }
    return 0;
}

QVariantMap PROV_SmsCenter::parseReply(int requestType, const QByteArray &body)
{
    bool accepted = false;
    // Only a message id means the gateway took the SMS; an error element or an
    // error code without an id is a refusal, whatever number the code holds.
    bool idSeen = false;
    bool errorSeen = false;
    int code = 1;
    double value = 0.0;
    bool valueRead = false;
    QString errorText = tr("Неверный формат запроса");

    QXmlStreamReader xml(body);
    if (xml.readNextStartElement()) {
        if (xml.name() == QLatin1String("result")) {
            while (xml.readNextStartElement()) {
                if (xml.name() == QLatin1String("error")) {
                    errorText = xml.readElementText();
                    errorSeen = true;
                } else if (xml.name() == QLatin1String("error_code")) {
                    const int parsed = xml.readElementText().toInt(&accepted);
                    if (accepted)
                        code = parsed;
                } else if (xml.name() == QLatin1String("cost")) {
                    value = xml.readElementText().toDouble(&valueRead);
                } else if (xml.name() == QLatin1String("id")) {
                    xml.readElementText();
                    accepted = true;
                    idSeen = true;
                    code = 0;
                } else {
                    xml.skipCurrentElement();
                }
            }
        } else if (xml.name() == QLatin1String("balance")) {
            value = xml.readElementText().toDouble(&valueRead);
            accepted = true;
            code = 0;
        }
    }

    QVariantMap result;
    if (requestType == RequestSms) {
        const bool sent = accepted && idSeen && !errorSeen && code == 0;
        if (!sent && code == 0)
            code = 1;
        result.insert(ResultKey::Success, sent);
        if (valueRead)
            result.insert(ResultKey::Spent, value);
    } else {
        result.insert(ResultKey::Success, accepted && valueRead && code == 0);
        result.insert(ResultKey::Balance, value);
    }
    result.insert(ResultKey::ErrorCode, code);
    result.insert(ResultKey::ErrorText, errorText);
    return result;
}

QVariantMap PROV_SmsCenter::parseRestReply(const SentRequest &sent, const QByteArray &reply)
{
    return parseReply(sent.type, reply);
}
