#include "settingstext.h"

#include "logcategories.h"

#include <QDebug>
#include <QStringList>

namespace SettingsText {

QString of(const QVariant &value)
{
    if (value.type() == QVariant::StringList)
        return value.toStringList().join(QLatin1Char(','));
    return value.toString();
}

QString read(const QSettings &settings, const QString &key, const QString &fallback)
{
    const QVariant value = settings.value(key);
    if (!value.isValid())
        return fallback;
    if (value.type() == QVariant::StringList || value.type() == QVariant::String)
        return of(value);
    if (value.canConvert<QString>() && value.type() != QVariant::ByteArray)
        return value.toString();
    qCWarning(lcService).noquote()
        << QStringLiteral("[SettingsText::read()]: значение %1 = \"%2\" в %3 не "
                          "является текстом и не используется")
               .arg(settings.group().isEmpty() ? key : settings.group() + QLatin1Char('/') + key,
                    QString::fromLatin1(value.typeName()), settings.fileName());
    return fallback;
}

} // namespace SettingsText
