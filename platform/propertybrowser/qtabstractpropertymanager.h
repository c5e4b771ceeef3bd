#pragma once

#include <QObject>
#include <QSet>
#include <QString>

class QtProperty;

// Base of the typed managers. A manager creates the properties of its type,
// keeps their values and owns them: they are destroyed by clear() or with the
// manager. Every change of a value, range or attribute is announced through
// propertyChanged so that editors and the tree can follow.
class QtAbstractPropertyManager : public QObject
{
    Q_OBJECT
public:
    explicit QtAbstractPropertyManager(QObject *parent = nullptr);
    ~QtAbstractPropertyManager() override;

    QtProperty *addProperty(const QString &name = QString());
    QSet<QtProperty *> properties() const { return m_properties; }
    bool owns(const QtProperty *property) const;
    // Destroys every property of this manager (propertyDestroyed first).
    void clear();

    virtual QString valueText(const QtProperty *property) const;

signals:
    void propertyChanged(QtProperty *property);
    void propertyDestroyed(QtProperty *property);

protected:
    virtual void initializeProperty(QtProperty *property) = 0;
    virtual void uninitializeProperty(QtProperty *property);

private:
    friend class QtProperty;
    void notifyPropertyChanged(QtProperty *property) { emit propertyChanged(property); }
    void destroyProperty(QtProperty *property);

    QSet<QtProperty *> m_properties;
};
