#pragma once

#include "qtabstractpropertymanager.h"

#include <QMap>
#include <QRegExp>

// Text properties, optionally read-only and with a pattern the editor enforces
// while the user types. Values set by program are kept even when they do not
// match the pattern: they come from stored settings, and silently replacing
// them by the default would lose them on the next save.
class QtStringPropertyManager : public QtAbstractPropertyManager
{
    Q_OBJECT
public:
    using QtAbstractPropertyManager::QtAbstractPropertyManager;

    QString value(const QtProperty *property) const;
    QRegExp regExp(const QtProperty *property) const;
    bool isReadOnly(const QtProperty *property) const;
    QString valueText(const QtProperty *property) const override;

public slots:
    void setValue(QtProperty *property, const QString &value);
    void setRegExp(QtProperty *property, const QRegExp &regExp);
    void setReadOnly(QtProperty *property, bool readOnly);

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
    };
    QMap<const QtProperty *, Data> m_values;
};
