// The form's warnings name their source line even in release builds.
#define QT_MESSAGELOGCONTEXT

#include "zelpropertywidget.h"

#include <QDebug>
#include <QHBoxLayout>
#include <QJsonArray>
#include <QRegExp>

#include "logcategories.h"
#include "qtboolpropertymanager.h"
#include "qtcheckboxfactory.h"
#include "qtdoublepropertymanager.h"
#include "qtdoublespinboxfactory.h"
#include "qtenumeditorfactory.h"
#include "qtenumpropertymanager.h"
#include "qtgrouppropertymanager.h"
#include "qtintpropertymanager.h"
#include "qtlineeditfactory.h"
#include "qtproperty.h"
#include "qtspinboxfactory.h"
#include "qtstringpropertymanager.h"
#include "qttreepropertybrowser.h"

// Non-strings become empty texts, keeping the indexes of the others.
static QStringList itemTexts(const QJsonObject &descriptor)
{
    QStringList texts;
    const QJsonArray items = descriptor.value("items").toArray();
    for (const QJsonValue &item : items)
        texts.append(item.toString());
    return texts;
}

ZelPropertyWidget::ZelPropertyWidget(QWidget *parent)
    : QWidget(parent), m_intManager(new QtIntPropertyManager(this)),
      m_boolManager(new QtBoolPropertyManager(this)),
      m_doubleManager(new QtDoublePropertyManager(this)),
      m_enumManager(new QtEnumPropertyManager(this)),
      m_stringManager(new QtStringPropertyManager(this)),
      m_groupManager(new QtGroupPropertyManager(this)), m_browser(new QtTreePropertyBrowser())
{
    m_browser->setFactoryForManager(m_intManager, new QtSpinBoxFactory(this));
    m_browser->setFactoryForManager(m_doubleManager, new QtDoubleSpinBoxFactory(this));
    m_browser->setFactoryForManager(m_boolManager, new QtCheckBoxFactory(this));
    m_browser->setFactoryForManager(m_stringManager, new QtLineEditFactory(this));
    m_browser->setFactoryForManager(m_enumManager, new QtEnumEditorFactory(this));

    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_browser);
    m_browser->setHeaderVisible(false);
    m_browser->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_browser, &QWidget::customContextMenuRequested, this,
            &ZelPropertyWidget::contextMenuRequested);
}

void ZelPropertyWidget::setTemplate(const QJsonValue &settingsTemplate)
{
    if (!settingsTemplate.isArray() || settingsTemplate == m_template)
        return;
    clear();
    m_template = settingsTemplate;
    const QJsonArray descriptors = settingsTemplate.toArray();
    for (const QJsonValue &descriptor : descriptors) {
        if (!descriptor.isObject())
            continue;
        if (QtProperty *property = createProperty(descriptor.toObject()))
            m_browser->addProperty(property);
    }
}

void ZelPropertyWidget::clear()
{
    m_browser->clear();
    // The removed properties are destroyed too, so switching providers back
    // and forth does not pile up dead properties in the managers.
    m_groupManager->clear();
    m_intManager->clear();
    m_boolManager->clear();
    m_doubleManager->clear();
    m_enumManager->clear();
    m_stringManager->clear();
    m_properties.clear();
    m_types.clear();
    m_template = QJsonValue();
}

QtProperty *ZelPropertyWidget::createProperty(const QJsonObject &descriptor)
{
    const QString name = descriptor.value("field").toString();
    const QString type = descriptor.value("type").toString();
    const QString label = descriptor.value("ru_text").toString();
    if (name.isEmpty() || type.isEmpty())
        return nullptr;

    QtProperty *property = createTypedProperty(type, label, descriptor);
    // Secrets are not for whoever looks over the administrator's shoulder.
    static const QStringList secretFields{"password", "apiKey", "pinCode"};
    if (property && type == "String" && secretFields.contains(name))
        m_stringManager->setMasked(property, true);
    if (m_types.contains(name)) {
        // The later descriptor wins; the earlier row stays visible but its
        // value is no longer read back, so the template needs fixing.
        qCWarning(lcSetup) << "[ZelPropertyWidget::createProperty] duplicate field name" << name;
    }
    m_properties.insert(name, property);
    m_types.insert(name, type);
    return property;
}

QtProperty *ZelPropertyWidget::createTypedProperty(const QString &type, const QString &label,
                                                   const QJsonObject &descriptor)
{
    const QJsonValue value = descriptor.value("value");
    const QJsonValue maximum = descriptor.value("max_val");
    const QJsonValue minimum = descriptor.value("min_val");
    if (type == "UInt") {
        QtProperty *property = m_intManager->addProperty(label);
        if (!value.isUndefined())
            m_intManager->setValue(property, value.toInt());
        if (!maximum.isUndefined())
            m_intManager->setMaximum(property, maximum.toInt());
        if (!minimum.isUndefined())
            m_intManager->setMinimum(property, minimum.toInt());
        return property;
    }
    if (type == "Double") {
        QtProperty *property = m_doubleManager->addProperty(label);
        if (!value.isUndefined())
            m_doubleManager->setValue(property, value.toDouble());
        if (!maximum.isUndefined())
            m_doubleManager->setMaximum(property, maximum.toDouble());
        if (!minimum.isUndefined())
            m_doubleManager->setMinimum(property, minimum.toDouble());
        return property;
    }
    if (type == "String") {
        QtProperty *property = m_stringManager->addProperty(label);
        if (!value.isUndefined())
            m_stringManager->setValue(property, value.toString());
        if (descriptor.contains("read_only"))
            m_stringManager->setReadOnly(property, descriptor.value("read_only").toBool());
        if (descriptor.contains("validator")) {
            const QRegExp pattern(descriptor.value("validator").toString(), Qt::CaseSensitive,
                                  QRegExp::RegExp);
            if (!pattern.isValid())
                qCWarning(lcSetup)
                    << "[ZelPropertyWidget::createTypedProperty] invalid validator for" << label
                    << ":" << pattern.pattern() << pattern.errorString();
            m_stringManager->setRegExp(property, pattern);
        }
        // Choices that do not bind: the editor lists them and takes any text.
        if (descriptor.contains("items"))
            m_stringManager->setSuggestions(property, itemTexts(descriptor));
        return property;
    }
    if (type == "Bool") {
        QtProperty *property = m_boolManager->addProperty(label);
        m_boolManager->setTextVisible(property, false);
        if (!value.isUndefined())
            m_boolManager->setValue(property, value.toBool());
        return property;
    }
    if (type == "Enum") {
        QtProperty *property = m_enumManager->addProperty(label);
        if (descriptor.contains("items"))
            m_enumManager->setEnumNames(property, itemTexts(descriptor));
        if (!value.isUndefined())
            m_enumManager->setValue(property, value.toInt());
        return property;
    }
    if (type == "Group") {
        QtProperty *property = m_groupManager->addProperty(label);
        const QJsonArray children = descriptor.value("sub_fields").toArray();
        for (const QJsonValue &child : children) {
            if (!child.isObject())
                continue;
            if (QtProperty *sub = createProperty(child.toObject()))
                property->addSubProperty(sub);
        }
        return property;
    }
    return nullptr;
}

QVariant ZelPropertyWidget::getValueByName(const QString &name) const
{
    QtProperty *property = m_properties.value(name);
    if (!m_types.contains(name) || !m_properties.contains(name)) {
        qCWarning(lcSetup) << "[ZelPropertyWidget::getValueByName] trying to get missing property";
        return QVariant();
    }
    const QString type = m_types.value(name);
    if (property && type == "UInt")
        return m_intManager->value(property);
    if (property && type == "Double")
        return m_doubleManager->value(property);
    if (property && type == "String")
        return m_stringManager->value(property);
    if (property && type == "Bool")
        return m_boolManager->value(property);
    if (property && type == "Enum")
        return m_enumManager->value(property);
    qCWarning(lcSetup) << "[ZelPropertyWidget::getValueByName] Invalid property type";
    return QVariant();
}

void ZelPropertyWidget::setValueByName(const QString &name, const QVariant &value)
{
    QtProperty *property = m_properties.value(name);
    if (!m_types.contains(name) || !m_properties.contains(name)) {
        qCWarning(lcSetup) << "[ZelPropertyWidget::setValueByName] trying to set missing property"
                           << name;
        return;
    }
    const QString type = m_types.value(name);
    if (property && type == "UInt")
        m_intManager->setValue(property, value.toInt());
    else if (property && type == "Double")
        m_doubleManager->setValue(property, value.toDouble());
    else if (property && type == "String")
        m_stringManager->setValue(property, value.toString());
    else if (property && type == "Bool")
        m_boolManager->setValue(property, value.toBool());
    else if (property && type == "Enum")
        m_enumManager->setValue(property, value.toInt());
    else
        qCWarning(lcSetup) << "[ZelPropertyWidget::setValueByName] Invalid property type";
}

QVariantMap ZelPropertyWidget::getValues() const
{
    QVariantMap values;
    for (auto it = m_properties.cbegin(); it != m_properties.cend(); ++it) {
        if (m_types.value(it.key(), "Group") != "Group")
            values.insert(it.key(), getValueByName(it.key()));
    }
    return values;
}

QJsonObject ZelPropertyWidget::getValuesJson() const
{
    return QJsonObject::fromVariantMap(getValues());
}

void ZelPropertyWidget::setValues(const QVariantMap &values)
{
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        setValueByName(it.key(), it.value());
}

void ZelPropertyWidget::setValues(const QJsonValue &values)
{
    if (values.isObject())
        setValues(values.toObject().toVariantMap());
}

QJsonValue ZelPropertyWidget::getTemplateWithValues() const
{
    if (m_template.isNull())
        return QJsonValue();
    const QJsonObject values = getValuesJson();
    QJsonArray result;
    const QJsonArray descriptors = m_template.toArray();
    for (const QJsonValue &element : descriptors) {
        if (!element.isObject())
            continue;
        QJsonObject descriptor = element.toObject();
        if (descriptor.value("type").toString() == "Group") {
            QJsonArray children;
            const QJsonArray oldChildren = descriptor.value("sub_fields").toArray();
            for (const QJsonValue &child : oldChildren) {
                if (!child.isObject()) {
                    children.append(child);
                    continue;
                }
                QJsonObject childDescriptor = child.toObject();
                childDescriptor.insert("value",
                                       values.value(childDescriptor.value("field").toString()));
                children.append(childDescriptor);
            }
            descriptor.insert("sub_fields", children);
        } else {
            descriptor.insert("value", values.value(descriptor.value("field").toString()));
        }
        result.append(descriptor);
    }
    return result;
}
