// Many inserts written as few transactions: the writes of an import, window after window.
//
// A window is one transaction taken under a lock that every import of this library takes on
// the store (SQLite: BEGIN IMMEDIATE, the store's own write lock; PostgreSQL: a
// transaction-level advisory lock of the library's key), so imports into one store follow one
// another window by window and what one window checks under the lock stays true until its
// commit. Inside a window each insert stands under a savepoint of its own: an insert the store
// refuses for its values costs only itself. On PostgreSQL the inserts are sent without waiting
// for each answer (libpq's pipeline mode) and the answers read in order, so a window costs a
// round trip or two however many people it holds.
//
// The writer works on a connection that is not its own (the host's, or the application
// server's): it changes none of the connection's settings for longer than a call, and leaves
// no transaction open behind it, however a call ends. A connection the host already holds in a
// transaction is refused rather than committed behind the host's back.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <functional>
#include <memory>
#include <span>

#include "DataSet.h"

namespace cv {

class Connection;

// One insert of a window: which of the writer's statements, and its values (one per mark).
// With `keep` set, a savepoint of that number is set before the insert and kept to the end
// of the window, so that rollbackTo() can take back this insert and everything after it.
struct WindowInsert {
    int statement = 0;
    QVariantList values;
    int keep = -1;
};

// How long begin() waits for the lock when another import or another writer holds it, and
// what it does meanwhile: `waiting` is called about every 50 ms with the time waited so far;
// answering false gives up (WaitAbandoned).
struct WindowWait {
    int timeoutMs = 60000;
    std::function<bool(int waitedMs)> waiting;
};

// begin() gave up at the caller's word.
class WaitAbandoned : public DbError {
public:
    using DbError::DbError;
};

class WindowedWriter {
public:
    // Prepares `statements` (INSERTs in the host's dialect with "?" marks) on `connection`,
    // which must outlive the writer. Throws DbError when the store refuses one, and
    // StoreUnavailable when the connection is not open.
    WindowedWriter(Connection& connection, const QStringList& statements);
    // Rolls back a window still open.
    ~WindowedWriter();
    WindowedWriter(const WindowedWriter&) = delete;
    WindowedWriter& operator=(const WindowedWriter&) = delete;

    // Another statement to insert with, for shapes learned later; answers its number.
    int addStatement(const QString& hostSql);

    // Begins a window under the import lock. Throws StoreUnavailable when the connection is
    // already inside a transaction of its owner's, when the store does not answer, or when
    // the lock is not given within `wait.timeoutMs`; WaitAbandoned when `wait.waiting` says
    // so. Nothing is left open when it throws.
    void begin(const WindowWait& wait = {});
    bool inWindow() const;

    // The rows of a statement read inside the window. Throws DbError.
    RowSet query(const QString& hostSql);

    // Stores `inserts` in order, each under its own savepoint, and stops at the first the
    // store refuses for its own values (a key taken, a value too long, a constraint): answers
    // how many were stored before it, with the store's reason in `refusal`; all of them when
    // none was refused. Throws StoreUnavailable when the refusal is not about the values
    // (permission, read-only, full, lost connection): the window must then be rolled back.
    // `alive`, when given, is called about every 100 ms while the answers are awaited.
    qsizetype apply(std::span<const WindowInsert> inserts, QString* refusal,
                    const std::function<void()>& alive = {});

    // Takes back the insert that set savepoint `keep`, and everything after it. Throws
    // StoreUnavailable.
    void rollbackTo(int keep);

    // Ends the window. commit() throws StoreUnavailable when the store does not take it; the
    // window is rolled back then. rollback() never throws.
    void commit();
    void rollback();

    // What the writer has cost so far: waits for the store's answer, and commits.
    struct Costs {
        qint64 roundTrips = 0;
        qint64 commits = 0;
    };
    Costs costs() const;

    // The library's key of the import lock on PostgreSQL (pg_advisory_xact_lock).
    static constexpr qint64 LockKey = 0x4356504B49585731;  // "CVPKIXW1"

private:
    class Engine;
    class SqliteEngine;
    class PostgresEngine;
    std::unique_ptr<Engine> engine_;
};

}  // namespace cv
