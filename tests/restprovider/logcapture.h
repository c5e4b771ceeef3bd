#pragma once

#include <QStringList>
#include <QtGlobal>

// Collects every Qt log message while alive, so tests can check the exact log
// texts and that a warning did (or did not) appear. Messages still go on to
// the previous handler.
class LogCapture
{
public:
    LogCapture()
    {
        m_previous = qInstallMessageHandler(&LogCapture::handler);
        instance() = this;
    }
    ~LogCapture()
    {
        qInstallMessageHandler(m_previous);
        instance() = nullptr;
    }

    QStringList messages(QtMsgType type) const
    {
        QStringList out;
        for (const auto &m : m_messages)
            if (m.first == type)
                out << m.second;
        return out;
    }
    bool contains(QtMsgType type, const QString &text) const
    {
        for (const QString &m : messages(type))
            if (m.contains(text))
                return true;
        return false;
    }
    void clear() { m_messages.clear(); }

private:
    static LogCapture *&instance()
    {
        static LogCapture *current = nullptr;
        return current;
    }
    static void handler(QtMsgType type, const QMessageLogContext &ctx, const QString &msg)
    {
        if (LogCapture *self = instance()) {
            self->m_messages.append({type, msg});
            if (self->m_previous)
                self->m_previous(type, ctx, msg);
        }
    }

    QtMessageHandler m_previous = nullptr;
    QList<QPair<QtMsgType, QString>> m_messages;
};
