#include "formquery.h"

#include <QUrl>

void FormQuery::add(const QString &name, const QString &value)
{
    m_items.append(qMakePair(name, value));
}

QByteArray FormQuery::encoded() const
{
    QByteArray out;
    for (const auto &item : m_items) {
        if (!out.isEmpty())
            out += '&';
        out += QUrl::toPercentEncoding(item.first);
        out += '=';
        out += QUrl::toPercentEncoding(item.second);
    }
    return out;
}

void FormQuery::applyTo(QUrl *url) const
{
    url->setQuery(QString::fromLatin1(encoded()), QUrl::StrictMode);
}
