#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QMap>
#include <QPoint>
#include <QVariantMap>
#include <QWidget>

class QtBoolPropertyManager;
class QtDoublePropertyManager;
class QtEnumPropertyManager;
class QtGroupPropertyManager;
class QtIntPropertyManager;
class QtProperty;
class QtStringPropertyManager;
class QtTreePropertyBrowser;

// The provider settings form: turns a plug-in's settings template (an array
// of field descriptors) into an editable property tree and reads and writes
// the values by field name. Field names are one flat namespace, group members
// included. The widget knows nothing of settings storage or plug-ins.
class ZelPropertyWidget : public QWidget
{
    Q_OBJECT
public:
    explicit ZelPropertyWidget(QWidget *parent = nullptr);

    void setTemplate(const QJsonValue &settingsTemplate);
    void clear();
    bool isEmpty() const { return m_template.isNull(); }

    QVariant getValueByName(const QString &name) const;
    void setValueByName(const QString &name, const QVariant &value);

    QVariantMap getValues() const;
    QJsonObject getValuesJson() const;
    void setValues(const QVariantMap &values);
    void setValues(const QJsonValue &values);

    QJsonValue getTemplateWithValues() const;

    QtTreePropertyBrowser *browser() const { return m_browser; }

signals:
    void contextMenuRequested(const QPoint &pos);

private:
    QtProperty *createProperty(const QJsonObject &descriptor);
    QtProperty *createTypedProperty(const QString &type, const QString &label,
                                    const QJsonObject &descriptor);

    QtIntPropertyManager *m_intManager;
    QtBoolPropertyManager *m_boolManager;
    QtDoublePropertyManager *m_doubleManager;
    QtEnumPropertyManager *m_enumManager;
    QtStringPropertyManager *m_stringManager;
    QtGroupPropertyManager *m_groupManager;
    QtTreePropertyBrowser *m_browser;
    QJsonValue m_template;
    QMap<QString, QtProperty *> m_properties;
    QMap<QString, QString> m_types;
};
