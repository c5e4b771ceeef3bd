#include "xmlrequestwriter.h"

XmlRequestWriter::XmlRequestWriter() : m_writer(&m_data)
{
    m_writer.setAutoFormatting(false);
    m_writer.writeStartDocument();
}

void XmlRequestWriter::startElement(const QString &name)
{
    m_writer.writeStartElement(name);
}

void XmlRequestWriter::endElement()
{
    m_writer.writeEndElement();
}

void XmlRequestWriter::textElement(const QString &name, const QString &text)
{
    m_writer.writeTextElement(name, xmlSafe(text));
}

void XmlRequestWriter::emptyElement(const QString &name, const Attributes &attributes)
{
    m_writer.writeEmptyElement(name);
    for (const auto &attr : attributes)
        attribute(attr.first, attr.second);
}

void XmlRequestWriter::attribute(const QString &name, const QString &value)
{
    m_writer.writeAttribute(name, xmlSafe(value));
}

QByteArray XmlRequestWriter::finish()
{
    m_writer.writeEndDocument();
    return m_data;
}

static bool allowedInXml(uint ucs4)
{
    if (ucs4 < 0x20)
        return ucs4 == 0x09 || ucs4 == 0x0A || ucs4 == 0x0D;
    if (ucs4 >= 0xD800 && ucs4 <= 0xDFFF)
        return false;
    return ucs4 != 0xFFFE && ucs4 != 0xFFFF;
}

QString XmlRequestWriter::xmlSafe(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            out += c;
            out += text.at(++i);
            continue;
        }
        out += allowedInXml(c.unicode()) ? c : QChar(' ');
    }
    return out;
}
