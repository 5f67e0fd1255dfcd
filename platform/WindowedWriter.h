// Many inserts written as few transactions: the writes of an import, window after window.
//
// A window is one transaction taken under a lock that every import of this library takes on
// the store (SQLite: BEGIN IMMEDIATE, the store's own write lock; PostgreSQL: a
// transaction-level advisory lock of the library's key), so imports into one store follow one
// another window by window, and what a window checks under the lock stays true until its
// commit. Inside a window each insert stands under a savepoint of its own: an insert the store
// refuses for its values costs only itself.
//
// On PostgreSQL a window goes as one pipeline (libpq's pipeline mode): BEGIN, the lock, the
// caller's checks, a guard that fails when they found anything, every insert and, when the
// caller asks, the commit are sent without waiting for each answer, and the answers read in
// order; a window whose checks find nothing and whose inserts are all taken costs one round
// trip, however many people it holds. When the checks find something, the guard stops
// everything after it and the window is rolled back.
//
// The writer works on a connection that is not its own (the host's, or the application
// server's): it changes none of the connection's settings beyond a call, and leaves no
// transaction open behind it, however a call ends. A connection that its owner already holds
// in a transaction is refused rather than committed behind the owner's back.
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

// How long opening a window waits for the lock when another import (or another writer of an
// SQLite store) holds it, and what it does meanwhile: `waiting` is called about every 50 ms
// with the time waited so far; answering false gives up (WaitAbandoned).
struct WindowWait {
    int timeoutMs = 60000;
    std::function<bool(int waitedMs)> waiting;
};

// Opening a window gave up at the caller's word.
class WaitAbandoned : public DbError {
public:
    using DbError::DbError;
};

// What a window sends in one go.
struct WindowRequest {
    // Statements that find what would make the caller's plan wrong, read under the lock
    // before the inserts count: any row one of them finds means the plan no longer holds.
    // IfOthersWrote reads them only when another writer may have written since the last look
    // (SQLite can tell; a server cannot, and always reads them). They are made only when they
    // are read: on SQLite, where nobody else writes, a window never makes them.
    std::function<QStringList()> checks;
    enum class Checks { Always, IfOthersWrote } when = Checks::Always;
    std::span<const WindowInsert> inserts;
    bool commit = false;  // commit as well, when every insert is stored
};

struct WindowAnswer {
    bool checked = false;    // the checks were read
    QList<RowSet> rows;      // their rows, one set per check
    bool planHeld = true;    // false: a check found rows; the window is rolled back
    qsizetype stored = 0;    // inserts stored before the first one refused
    QString refusal;         // the store's reason for that one
    bool committed = false;  // the window is committed (and closed)
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

    // Notes where the store stands, so that a later IfOthersWrote check knows whether
    // anybody else wrote since: call it before reading what the plans are made from.
    void noteStore();

    // Opens a window under the import lock and sends `request`: the checks (when one finds
    // rows, nothing after them counts and the window is rolled back), then the inserts, each
    // under its own savepoint, up to the first the store refuses for its own values (a key
    // taken, a value too long, a constraint), then the commit when asked and all were stored.
    //
    // Throws StoreUnavailable when the connection is inside a transaction of its owner's,
    // when the lock is not given within `wait.timeoutMs`, and for every refusal that is not
    // about an insert's values (no right to write, a read-only or full store, a lost
    // connection); WaitAbandoned when `wait.waiting` says so. The window is rolled back then.
    // `alive`, when given, is called about every 100 ms while answers are awaited.
    WindowAnswer open(const WindowRequest& request, const WindowWait& wait,
                      const std::function<void()>& alive = {});
    // Sends more inserts in the open window, as open() does.
    WindowAnswer go(std::span<const WindowInsert> inserts, bool commit,
                    const std::function<void()>& alive = {});
    bool inWindow() const;
    // Whether the connection's owner holds it inside a transaction of its own (no window of
    // this writer's open): a window would then be refused.
    bool ownerInTransaction() const;

    // The rows of a statement read inside the window. Throws DbError.
    RowSet query(const QString& hostSql);

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
    // How long PostgreSQL waits for the lock before it refuses the window.
    static constexpr int LockTimeoutMs = 60000;

private:
    class Engine;
    class SqliteEngine;
    class PostgresEngine;
    std::unique_ptr<Engine> engine_;
};

}  // namespace cv
