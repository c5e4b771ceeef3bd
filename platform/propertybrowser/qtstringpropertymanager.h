#pragma once

#include "qtabstractpropertymanager.h"

#include <QMap>
#include <QRegExp>
#include <QStringList>

// Text properties, optionally read-only and with a pattern the editor enforces
// while the user types. Values set by program are kept even when they do not
// match the pattern: they come from stored settings, and silently replacing
// them by the default would lose them on the next save. A masked property
// (a password) is never shown in clear text unless the user asks the editor
// to reveal it; suggestions turn the editor into a list that also takes any
// typed text.
class QtStringPropertyManager : public QtAbstractPropertyManager
{
    Q_OBJECT
public:
    using QtAbstractPropertyManager::QtAbstractPropertyManager;

    QString value(const QtProperty *property) const;
    QRegExp regExp(const QtProperty *property) const;
    bool isReadOnly(const QtProperty *property) const;
    bool isMasked(const QtProperty *property) const;
    QStringList suggestions(const QtProperty *property) const;
    QString valueText(const QtProperty *property) const override;

public slots:
    void setValue(QtProperty *property, const QString &value);
    void setRegExp(QtProperty *property, const QRegExp &regExp);
    void setReadOnly(QtProperty *property, bool readOnly);
    void setMasked(QtProperty *property, bool masked);
    void setSuggestions(QtProperty *property, const QStringList &suggestions);

signals:
    void valueChanged(QtProperty *property, const QString &value);
    void regExpChanged(QtProperty *property, const QRegExp &regExp);
    void readOnlyChanged(QtProperty *property, bool readOnly);

protected:
    void initializeProperty(QtProperty *property) override;
    void uninitializeProperty(QtProperty *property) override;

private:
    struct Data
    {
        QString value;
        QRegExp regExp;
        bool readOnly = false;
        bool masked = false;
        QStringList suggestions;
    };
    QMap<const QtProperty *, Data> m_values;
};
