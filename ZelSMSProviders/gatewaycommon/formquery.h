#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

class QUrl;

// Query items of a gateway URL, in the order added, encoded so that a form
// parser on the gateway side reads back exactly the text we put in. QUrlQuery
// is not used on purpose: it leaves '+' as is (PHP gateways read it as a space)
// and decodes "%41" in a value to "A", both of which change a message text.
// Here every byte outside the unreserved set is percent-encoded (UTF-8).
class FormQuery
{
public:
    void add(const QString &name, const QString &value);

    // name=value pairs joined by '&', fully percent-encoded.
    QByteArray encoded() const;

    // Replaces the query of url by encoded().
    void applyTo(QUrl *url) const;

    const QList<QPair<QString, QString>> &items() const { return m_items; }

private:
    QList<QPair<QString, QString>> m_items;
};
