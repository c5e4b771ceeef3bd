#include "settingsvalidation.h"

#include "addressparser.h"
#include "servicesettings.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonObject>
#include <QRegExp>
#include <QRegularExpression>

namespace SettingsValidation {

static QString tr(const char *text)
{
    return QCoreApplication::translate("SmsDialog", text);
}

QString stationPortProblem(const QString &text)
{
    bool ok = false;
    const int port = text.trimmed().toInt(&ok, 10);
    if (ok && port >= 1 && port <= 65535)
        return QString();
    return tr("Порт ПЦН: нужно целое число от 1 до 65535, введено \"%1\"").arg(text);
}

QString reportTimeoutProblem(const QString &text)
{
    bool ok = false;
    const int minutes = text.trimmed().toInt(&ok, 10);
    if (ok && minutes >= 1 && minutes <= ServiceSettings::MaxReportTimeoutMinutes)
        return QString();
    return tr("Время ожидания отчёта о доставке: нужно целое число минут от 1 до %1, введено "
              "\"%2\"")
        .arg(ServiceSettings::MaxReportTimeoutMinutes)
        .arg(text);
}

QString stationAddressProblem(const QString &text)
{
    if (AddressParser::isHostName(text))
        return QString();
    const AddressParser::Address parsed = AddressParser::parseAddress(text, tr("Адрес ПЦН"));
    if (parsed.ok())
        return QString();
    // Digits and dots, or colons, were meant as an IP address: say what is
    // wrong with it.
    static const QRegularExpression numeric(QStringLiteral("^[0-9.]+$|:"));
    if (numeric.match(text.trimmed()).hasMatch())
        return parsed.error;
    return tr("Адрес ПЦН: \"%1\" не является IP-адресом или именем компьютера").arg(text);
}

static void collectProblems(const QJsonArray &fields, bool requireFilled, int depth,
                            QStringList &problems)
{
    if (depth > 16)
        return;
    for (const QJsonValue &element : fields) {
        const QJsonObject field = element.toObject();
        const QString type = field.value(QStringLiteral("type")).toString();
        if (type == QLatin1String("Group")) {
            collectProblems(field.value(QStringLiteral("sub_fields")).toArray(), requireFilled,
                            depth + 1, problems);
            continue;
        }
        if (type != QLatin1String("String"))
            continue;
        QString label = field.value(QStringLiteral("ru_text")).toString();
        if (label.isEmpty())
            label = field.value(QStringLiteral("field")).toString();
        const QString value = field.value(QStringLiteral("value")).toString();
        if (value.isEmpty()) {
            if (requireFilled && field.value(QStringLiteral("required")).toBool())
                problems << tr("%1: поле не заполнено").arg(label);
            continue;
        }
        const QString pattern = field.value(QStringLiteral("validator")).toString();
        if (!pattern.isEmpty() && !QRegExp(pattern).exactMatch(value))
            problems << tr("%1: значение не подходит к формату поля").arg(label);
    }
}

QStringList formProblems(const QJsonValue &templateWithValues, bool requireFilled)
{
    QStringList problems;
    collectProblems(templateWithValues.toArray(), requireFilled, 0, problems);
    return problems;
}

} // namespace SettingsValidation
