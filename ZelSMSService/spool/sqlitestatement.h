#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>

#include <sqlite3.h>

// The spool's thin layer over SQLite's C interface, shared by its source files.
namespace SpoolSql {

// A statement that finalizes itself, so that no early return leaks one.
class Statement
{
public:
    Statement(sqlite3 *db, const char *sql)
    {
        if (sqlite3_prepare_v2(db, sql, -1, &m_st, nullptr) != SQLITE_OK)
            m_st = nullptr;
    }
    ~Statement() { sqlite3_finalize(m_st); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    explicit operator bool() const { return m_st != nullptr; }
    sqlite3_stmt *get() const { return m_st; }

    void bind(int i, qint64 v) { sqlite3_bind_int64(m_st, i, v); }
    void bind(int i, const QString &v)
    {
        const QByteArray u = v.toUtf8();
        sqlite3_bind_text(m_st, i, u.constData(), u.size(), SQLITE_TRANSIENT);
    }
    void bindBlob(int i, const QByteArray &v)
    {
        sqlite3_bind_blob(m_st, i, v.constData(), v.size(), SQLITE_TRANSIENT);
    }
    void bindVariant(int i, const QVariant &v)
    {
        if (v.type() == QVariant::String)
            bind(i, v.toString());
        else
            bind(i, v.toLongLong());
    }
    int step() { return sqlite3_step(m_st); }
    void reset()
    {
        sqlite3_reset(m_st);
        sqlite3_clear_bindings(m_st);
    }

private:
    sqlite3_stmt *m_st = nullptr;
};

inline QString columnText(sqlite3_stmt *st, int col)
{
    return QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(st, col)),
                             sqlite3_column_bytes(st, col));
}

inline QByteArray columnBlob(sqlite3_stmt *st, int col)
{
    return QByteArray(static_cast<const char *>(sqlite3_column_blob(st, col)),
                      sqlite3_column_bytes(st, col));
}

} // namespace SpoolSql
