#include "prov_smscenter.h"

#include "formquery.h"
#include "ownmetadata.h"

#include <QRegularExpression>

#include <QSettings>
#include <QXmlStreamReader>

const char *const PROV_SmsCenter::PartnerId = "615032";
const char *const PROV_SmsCenter::DefaultSendUrl = "https://smsc.ru/sys/send.php";
const char *const PROV_SmsCenter::DefaultBalanceUrl = "https://smsc.ru/sys/balance.php";
const char *const PROV_SmsCenter::DefaultStatusUrl = "https://smsc.ru/sys/status.php";

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
        // batch on every retry until the path went down.
        request->setUrl(url);
        request->setHeader(QNetworkRequest::ContentTypeHeader, "application/x-www-form-urlencoded");
        *body = query.encoded();
    }
    return 0;
}

QVariantMap PROV_SmsCenter::parseReply(int requestType, const QByteArray &body, int batchSize)
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
    QString messageId;

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
                    messageId = xml.readElementText().trimmed();
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
        if (sent && !messageId.isEmpty()) {
            QStringList ids;
            for (int i = 0; i < batchSize; ++i)
                ids << messageId;
            result.insert(ResultKey::MessageIds, ids);
        }
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
    return parseReply(sent.type, reply, sent.batch.size());
}

int PROV_SmsCenter::buildStatusRequest(const QList<GatewayStatus::Query> &queries,
                                       QNetworkRequest *request, QByteArray *body, QString *method)
{
    if (queries.isEmpty() || queries.size() > MaxStatusBatch)
        return 1;
    QStringList phones, ids;
    for (const GatewayStatus::Query &q : queries) {
        phones << q.recipient;
        ids << q.messageId;
    }
    FormQuery query;
    query.add("login", m_account.login);
    query.add("psw", m_account.password);
    query.add("phone", phones.join(','));
    query.add("id", ids.join(','));
    query.add("fmt", "2");
    QUrl url = endpoint(DefaultStatusUrl);
    query.applyTo(&url);
    request->setUrl(url);
    body->clear();
    *method = "GET";
    return 0;
}

namespace {

// One message's answer in a status reply, or the reply's own elements.
struct StatusItem
{
    QString id;
    QString phone;
    QString status;
    bool hasStatus = false;
    bool error = false;
};

constexpr int MaxXmlDepth = 16;

// Reads the current element to its end into item; a child that holds elements
// of its own and a status is an answer of its own. Returns whether the
// element held only text (its text in *text).
bool readStatusElement(QXmlStreamReader &xml, StatusItem *item, QList<StatusItem> *items,
                       QString *text, int depth)
{
    bool leaf = true;
    while (!xml.atEnd()) {
        const QXmlStreamReader::TokenType token = xml.readNext();
        if (token == QXmlStreamReader::EndElement)
            return leaf;
        if (token == QXmlStreamReader::Characters) {
            text->append(xml.text());
        } else if (token == QXmlStreamReader::StartElement) {
            leaf = false;
            if (depth >= MaxXmlDepth) {
                xml.skipCurrentElement();
                continue;
            }
            const QString name = xml.name().toString();
            StatusItem child;
            QString childText;
            if (!readStatusElement(xml, &child, items, &childText, depth + 1)) {
                if (child.hasStatus)
                    items->append(child);
                continue;
            }
            childText = childText.trimmed();
            if (name == QLatin1String("id")) {
                item->id = childText;
            } else if (name == QLatin1String("phone")) {
                item->phone = childText;
            } else if (name == QLatin1String("status")) {
                item->status = childText;
                item->hasStatus = true;
            } else if (name == QLatin1String("error")) {
                item->error = true;
            }
        }
    }
    return leaf;
}

int statusAnswer(const QString &status)
{
    bool numeric = false;
    const int code = status.toInt(&numeric);
    if (!numeric)
        return GatewayStatus::AnswerUnknownStatus;
    switch (code) {
    case -1:
    case 0:
        return GatewayStatus::AnswerWaiting;
    case 1:
    case 2:
        return GatewayStatus::AnswerConfirmed;
    case 3:
    case 20:
    case 22:
    case 23:
    case 24:
    case 25:
        return GatewayStatus::AnswerFailed;
    case -3:
        return GatewayStatus::AnswerUnknownId;
    default:
        return GatewayStatus::AnswerUnknownStatus;
    }
}

QString digits(QString phone)
{
    return phone.remove(QRegularExpression(QStringLiteral("[^0-9]")));
}

} // namespace

QVariantMap PROV_SmsCenter::readStatusReply(const QList<GatewayStatus::Query> &queries,
                                            const QByteArray &body)
{
    QXmlStreamReader xml(body);
    StatusItem root;
    QList<StatusItem> items;
    bool read = false;
    if (xml.readNextStartElement() && xml.name() == QLatin1String("result")) {
        QString text;
        readStatusElement(xml, &root, &items, &text, 0);
        read = !xml.hasError();
    }
    if (root.hasStatus)
        items.prepend(root);
    QVariantMap result;
    if (!read || root.error || items.isEmpty()) {
        result.insert(ResultKey::Success, false);
        result.insert(ResultKey::ErrorCode, 1);
        result.insert(ResultKey::ErrorText, tr("Неверный формат запроса"));
        return result;
    }
    QVariantList answers, texts;
    for (int i = 0; i < queries.size(); ++i) {
        const GatewayStatus::Query &q = queries.at(i);
        int at = -1;
        for (int k = 0; k < items.size() && at < 0; ++k)
            if (items.at(k).id == q.messageId && digits(items.at(k).phone) == digits(q.recipient))
                at = k;
        // An answer that names neither its id nor its number stands in its place.
        if (at < 0 && i < items.size() && items.at(i).id.isEmpty() && items.at(i).phone.isEmpty())
            at = i;
        answers << (at < 0 ? int(GatewayStatus::AnswerMissing) : statusAnswer(items.at(at).status));
        texts << (at < 0 ? QString() : items.at(at).status);
    }
    return GatewayStatus::replyResult(answers, texts);
}
