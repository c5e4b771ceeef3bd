#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QXmlStreamWriter>

// Writes the XML request documents of the XML gateways: UTF-8, declaration
// <?xml version="1.0" encoding="UTF-8"?>, no indentation. Texts and attribute
// values pass through xmlSafe() first: a station may send control characters
// that XML 1.0 cannot carry at all, and QXmlStreamWriter would write them raw,
// leaving a document the gateway refuses on every retry until the SMS is dropped.
class XmlRequestWriter
{
public:
    using Attributes = QList<QPair<QString, QString>>;

    XmlRequestWriter();

    void startElement(const QString &name);
    void endElement();
    void textElement(const QString &name, const QString &text);
    void emptyElement(const QString &name, const Attributes &attributes);
    // For an element just started.
    void attribute(const QString &name, const QString &value);

    // Ends every open element and the document; returns the bytes.
    QByteArray finish();

    // The text with every character XML 1.0 forbids (C0 controls other than
    // tab, line feed and carriage return, lone surrogates, U+FFFE, U+FFFF)
    // replaced by a space, so that the rest of the message still arrives.
    static QString xmlSafe(const QString &text);

private:
    QByteArray m_data;
    QXmlStreamWriter m_writer;
};
