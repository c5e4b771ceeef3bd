#pragma once

#include <QList>
#include <QPair>
#include <QStringList>
#include <QtGlobal>

// Collects the Qt log messages written while it lives, so tests can check the
// exact log texts and that a warning did (or did not) appear. By default each
// message also goes on to the handler that was installed before; Quiet keeps
// them from the test's output. Captures nest: an inner one hands what it
// passes on to the outer one.
//
// Install it once QTest::qExec runs (in initTestCase() or a test function, not
// in the test object's constructor): QtTest installs its own handler there and
// would hide an earlier one.
class LogCapture
{
public:
    enum Echo
    {
        PassOn,
        Quiet
    };
    using Entry = QPair<QtMsgType, QString>;

    explicit LogCapture(Echo echo = PassOn);
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    // Messages of these types are passed on only, not kept (a test's own
    // qInfo() dump of the log, a fatal message that must still abort).
    void setPassedOnOnly(const QList<QtMsgType> &types) { m_passedOnOnly = types; }

    const QList<Entry> &entries() const { return m_entries; }
    QStringList messages() const;
    QStringList messages(QtMsgType type) const;
    // Whether a message of type contains text.
    bool contains(QtMsgType type, const QString &text) const;
    // Messages that contain part (of the given type).
    int count(const QString &part) const;
    int count(const QString &part, QtMsgType type) const;
    void clear() { m_entries.clear(); }

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &text);
    void take(QtMsgType type, const QMessageLogContext &context, const QString &text);

    Echo m_echo;
    QtMessageHandler m_previous = nullptr;
    LogCapture *m_outer = nullptr;
    QList<QtMsgType> m_passedOnOnly;
    QList<Entry> m_entries;
};
