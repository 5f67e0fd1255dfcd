#include "WindowedWriter.h"

#include <libpq-fe.h>
#include <poll.h>
#include <sqlite3.h>

#include <QElapsedTimer>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <vector>

#include "Database.h"
#include "EngineHandles.h"

namespace cv {

class WindowedWriter::Engine {
public:
    explicit Engine(Connection& connection) : connection_(connection) {}
    virtual ~Engine() = default;
    virtual int addStatement(const QString& sql) = 0;
    virtual void noteStore() {}
    virtual WindowAnswer open(const WindowRequest& request, const WindowWait& wait,
                              const std::function<void()>& alive) = 0;
    virtual WindowAnswer go(std::span<const WindowInsert> inserts, bool commit,
                            const std::function<void()>& alive) = 0;
    // A window of this writer's is open.
    bool inWindow() const { return own_ && transactionOpen(); }
    // The connection is inside a transaction that is not this writer's.
    bool ownerInTransaction() const { return !own_ && transactionOpen(); }
    virtual bool transactionOpen() const = 0;
    virtual void commit() = 0;
    virtual void rollback() = 0;
    virtual void exec(const char* sql) = 0;  // throws StoreUnavailable

    void rollbackTo(int keep) { exec(("ROLLBACK TO SAVEPOINT " + keepName(keep)).constData()); }
    static QByteArray keepName(int keep) { return "cv_window_keep_" + QByteArray::number(keep); }

    RowSet query(const QString& hostSql) {
        ++costs.roundTrips;
        Query query(&connection_);
        query.setCommandText(hostSql);
        query.open();
        return query.data();
    }

    Costs costs;

protected:
    bool own_ = false;  // this writer began the transaction that is open

    [[noreturn]] static void refuseWait(int timeoutMs) {
        throw StoreUnavailable(QStringLiteral("数据库被其他程序占用, 等待 %1 秒后仍无法写入")
                                   .arg(timeoutMs / 1000)
                                   .toStdString());
    }

    Connection& connection_;
};

namespace {

// Where the host's statement has "?" marks, PostgreSQL wants $1, $2, ... (the statements
// here hold no quoted text).
QByteArray numberedMarks(const QString& sql) {
    QString out;
    int mark = 0;
    for (const QChar c : sql) {
        if (c == u'?') {
            out += u'$' + QString::number(++mark);
        } else {
            out += c;
        }
    }
    return out.toUtf8();
}

const char* const HostTransaction = "主程序的数据库连接正处于一个未结束的事务中";

}  // namespace

// SQLite: the window is BEGIN IMMEDIATE on the connection's own handle, waited for between
// short tries. A refused statement undoes only itself in SQLite, so the savepoint of each
// insert is the statement's own.
class WindowedWriter::SqliteEngine final : public WindowedWriter::Engine {
public:
    SqliteEngine(Connection& connection, sqlite3* handle) : Engine(connection), sqlite_(handle) {}
    ~SqliteEngine() override {
        rollback();
        statements_.clear();
    }

    int addStatement(const QString& sql) override {
        statements_.push_back(std::make_unique<PreparedStatement>(&connection_, sql));
        return int(statements_.size()) - 1;
    }

    void noteStore() override { othersWrote(); }

    WindowAnswer open(const WindowRequest& request, const WindowWait& wait,
                      const std::function<void()>& alive) override {
        begin(wait);
        WindowAnswer answer;
        try {
            const bool others = othersWrote();
            answer.checked = request.when == WindowRequest::Checks::Always || others;
            if (answer.checked && request.checks) {
                for (const QString& check : request.checks()) {
                    answer.rows.append(query(check));
                    answer.planHeld = answer.planHeld && answer.rows.last().rows.isEmpty();
                }
                if (!answer.planHeld) {
                    rollback();
                    answer.planHeld = false;
                    return answer;
                }
            }
            const WindowAnswer went = go(request.inserts, request.commit, alive);
            answer.stored = went.stored;
            answer.refusal = went.refusal;
            answer.committed = went.committed;
        } catch (...) {
            rollback();
            throw;
        }
        return answer;
    }

    WindowAnswer go(std::span<const WindowInsert> inserts, bool commit,
                    const std::function<void()>&) override {
        requireAlive();
        WindowAnswer answer;
        for (const WindowInsert& insert : inserts) {
            if (insert.keep >= 0) exec(("SAVEPOINT " + keepName(insert.keep)).constData());
            try {
                statements_.at(std::size_t(insert.statement))->execute(insert.values);
            } catch (const StoreUnavailable&) {
                throw;
            } catch (const DbError& e) {
                // SQLite ends the whole transaction on some failures (a full disk, an I/O
                // error); then nothing of the window stands any more.
                if (!inWindow()) throw StoreUnavailable(e.what());
                answer.refusal = QString::fromUtf8(e.what());
                return answer;
            }
            ++answer.stored;
            ++ownChanges_;
        }
        if (commit) {
            this->commit();
            answer.committed = true;
        }
        return answer;
    }

    bool transactionOpen() const override {
        return sqliteHandle(connection_.database()) == sqlite_ && !sqlite3_get_autocommit(sqlite_);
    }

    void commit() override {
        requireAlive();
        ++costs.roundTrips;
        if (sqlite3_exec(sqlite_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK) {
            own_ = false;
            ++costs.commits;
            return;
        }
        const std::string message = sqlite3_errmsg(sqlite_);
        rollback();
        throw StoreUnavailable("数据库未能提交: " + message);
    }

    void rollback() override {
        if (inWindow()) sqlite3_exec(sqlite_, "ROLLBACK", nullptr, nullptr, nullptr);
        own_ = false;
    }

    void exec(const char* sql) override {
        requireAlive();
        if (sqlite3_exec(sqlite_, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
            throw StoreUnavailable(std::string(sql) + ": " + sqlite3_errmsg(sqlite_));
    }

private:
    void requireAlive() const {
        if (sqliteHandle(connection_.database()) != sqlite_)
            throw StoreUnavailable("数据库连接已关闭");
    }

    // The host's busy timeout would hold the thread for seconds at a time; the writer waits
    // instead, between short tries, and the host's own timeout comes back after each.
    void begin(const WindowWait& wait) {
        requireAlive();
        if (!sqlite3_get_autocommit(sqlite_)) throw StoreUnavailable(HostTransaction);
        QElapsedTimer clock;
        clock.start();
        for (int pause = 5;; pause = std::min(pause * 2, 50)) {
            const int hostTimeout = busyTimeout();
            sqlite3_busy_timeout(sqlite_, 20);
            const int rc = sqlite3_exec(sqlite_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
            const std::string message = sqlite3_errmsg(sqlite_);
            sqlite3_busy_timeout(sqlite_, hostTimeout);
            ++costs.roundTrips;
            if (rc == SQLITE_OK) {
                own_ = true;
                return;
            }
            if ((rc & 0xff) != SQLITE_BUSY && (rc & 0xff) != SQLITE_LOCKED)
                throw StoreUnavailable("无法开始写入: " + message);
            const int waited = int(clock.elapsed());
            if (waited >= wait.timeoutMs) refuseWait(wait.timeoutMs);
            if (wait.waiting && !wait.waiting(waited)) throw WaitAbandoned("等待数据库时取消");
            QThread::msleep(unsigned(pause));
        }
    }

    int busyTimeout() const {
        sqlite3_stmt* statement = nullptr;
        int timeout = 0;
        if (sqlite3_prepare_v2(sqlite_, "PRAGMA busy_timeout", -1, &statement, nullptr) ==
                SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW)
            timeout = sqlite3_column_int(statement, 0);
        sqlite3_finalize(statement);
        return timeout;
    }

    // Whether anybody else wrote since the last look. Another connection moves the data
    // version; a writer on this very connection (the host's own work between two windows)
    // only the count of changes beyond the writer's own.
    bool othersWrote() {
        requireAlive();
        sqlite3_stmt* statement = nullptr;
        qint64 version = -1;
        if (sqlite3_prepare_v2(sqlite_, "PRAGMA data_version", -1, &statement, nullptr) ==
                SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW)
            version = sqlite3_column_int64(statement, 0);
        sqlite3_finalize(statement);
        const qint64 changes = sqlite3_total_changes64(sqlite_);
        const bool moved =
            version < 0 || version != dataVersion_ || changes - totalChanges_ != ownChanges_;
        dataVersion_ = version;
        totalChanges_ = changes;
        ownChanges_ = 0;
        return moved;
    }

    sqlite3* sqlite_;
    std::vector<std::unique_ptr<PreparedStatement>> statements_;
    qint64 dataVersion_ = -1;
    qint64 totalChanges_ = 0;
    qint64 ownChanges_ = 0;  // rows this writer changed since the last look
};

// PostgreSQL: a window goes as one pipeline of BEGIN, a lock timeout local to the
// transaction, the advisory lock, the checks, SAVEPOINT / EXECUTE / RELEASE per insert, and
// COMMIT, with one sync at the end. The server skips everything after a failed statement up
// to the sync, so a refusal ends the pipeline there: the refused insert's savepoint is rolled
// back and the caller sends the rest again.
class WindowedWriter::PostgresEngine final : public WindowedWriter::Engine {
public:
    PostgresEngine(Connection& connection, PGconn* conn) : Engine(connection), conn_(conn) {
        static std::atomic<int> writers{0};
        prefix_ = "cv_window_" + QByteArray::number(++writers) + '_';
    }
    ~PostgresEngine() override {
        if (!alive()) return;
        rollback();
        for (std::size_t i = 0; i < marks_.size(); ++i)
            PQclear(PQexec(conn_, "DEALLOCATE " + name(int(i))));
    }

    int addStatement(const QString& sql) override {
        requireAlive();
        const int number = int(marks_.size());
        const QString adapted = connection_.adapt(sql);
        PGresult* result = PQprepare(conn_, name(number).constData(),
                                     numberedMarks(adapted).constData(), 0, nullptr);
        ++costs.roundTrips;
        const bool ok = PQresultStatus(result) == PGRES_COMMAND_OK;
        const std::string message = PQresultErrorMessage(result);
        PQclear(result);
        if (!ok) throw DbError(message + " [statement: " + adapted.toStdString() + ']');
        marks_.push_back(int(adapted.count(u'?')));
        sqls_.push_back(adapted);
        return number;
    }

    WindowAnswer open(const WindowRequest& request, const WindowWait& wait,
                      const std::function<void()>& alive) override {
        // A window that commits in one go first sends its rows as one multi-row insert per
        // statement: the server stores them some times faster than one statement each. Should
        // the store refuse one of them, the window is rolled back and goes again the careful
        // way, each insert under its own savepoint, so that the refused one costs only itself.
        if (bulkable(request)) {
            WindowAnswer answer = open(request, wait, alive, true);
            if (!answer.planHeld || answer.committed) return answer;
        }
        return open(request, wait, alive, false);
    }

    WindowAnswer open(const WindowRequest& request, const WindowWait& wait,
                      const std::function<void()>& alive, bool bulk) {
        requireAlive();
        if (PQtransactionStatus(conn_) != PQTRANS_IDLE) throw StoreUnavailable(HostTransaction);
        own_ = true;  // the BEGIN goes first in the pipeline
        const int timeout = std::min(wait.timeoutMs, LockTimeoutMs);
        std::vector<Command> commands{
            {Role::Plain, "BEGIN"},
            {Role::Plain, "SET LOCAL lock_timeout = " + QByteArray::number(timeout)},
            {Role::Lock, "SELECT pg_advisory_xact_lock(" + QByteArray::number(LockKey) + ")"}};
        // The checks go as one guard: two rows where the statement wants one, a refusal of its
        // own when a check finds anything, which stops the inserts and the commit behind it.
        // Only then are the checks' rows read, once the window is rolled back.
        const QStringList checks = request.checks ? request.checks() : QStringList();
        QStringList found;
        for (const QString& check : checks) found << "EXISTS (" + connection_.adapt(check) + ')';
        if (!found.isEmpty())
            commands.push_back({Role::Guard, ("SELECT (SELECT 1 UNION ALL SELECT 1 WHERE " +
                                              found.join(" OR ") + ')')
                                                 .toUtf8()});
        const std::size_t first = commands.size();
        if (bulk) {
            addBulk(commands, request.inserts);
        } else {
            addInserts(commands, request.inserts, request.commit);
        }

        WindowAnswer answer;
        try {
            pipeline(commands, &wait, alive);
            answer.checked = true;
            for (std::size_t i = 0; i < first; ++i) {
                const Answer& a = answers_[i];
                if (commands[i].role == Role::Guard && a.state == "21000") {
                    answer.planHeld = false;
                    continue;
                }
                if (a.ok()) continue;
                if (commands[i].role == Role::Lock && cancelled_)
                    throw WaitAbandoned("等待数据库时取消");
                if (commands[i].role == Role::Lock && a.state == "55P03") refuseWait(timeout);
                throw StoreUnavailable(a.message.toStdString());
            }
            if (!answer.planHeld) {
                rollback();
                for (const QString& check : checks) answer.rows.append(query(check));
                return answer;
            }
            if (bulk) {
                settleBulk(commands, first, request.inserts.size(), answer);
            } else {
                settle(commands, first, request.inserts.size(), answer);
            }
        } catch (...) {
            rollback();
            throw;
        }
        return answer;
    }

    WindowAnswer go(std::span<const WindowInsert> inserts, bool commit,
                    const std::function<void()>& alive) override {
        requireAlive();
        std::vector<Command> commands;
        addInserts(commands, inserts, commit);
        WindowAnswer answer;
        if (!commands.empty()) pipeline(commands, nullptr, alive);
        settle(commands, 0, inserts.size(), answer);
        return answer;
    }

    bool transactionOpen() const override {
        return alive() && PQtransactionStatus(conn_) != PQTRANS_IDLE;
    }

    void commit() override {
        requireAlive();
        PGresult* result = PQexec(conn_, "COMMIT");
        ++costs.roundTrips;
        // A transaction that failed answers COMMIT with ROLLBACK.
        const bool ok = PQresultStatus(result) == PGRES_COMMAND_OK &&
                        qstrcmp(PQcmdStatus(result), "COMMIT") == 0;
        const std::string message = PQresultErrorMessage(result);
        PQclear(result);
        if (ok) {
            own_ = false;
            ++costs.commits;
            return;
        }
        rollback();
        throw StoreUnavailable("数据库未能提交" + (message.empty() ? "" : ": " + message));
    }

    void rollback() override {
        if (inWindow()) PQclear(PQexec(conn_, "ROLLBACK"));
        own_ = false;
    }

    void exec(const char* sql) override {
        PGresult* result = PQexec(conn_, sql);
        ++costs.roundTrips;
        const bool ok = PQresultStatus(result) == PGRES_COMMAND_OK;
        const std::string message = PQresultErrorMessage(result);
        PQclear(result);
        if (!ok) {
            requireAlive();
            throw StoreUnavailable(std::string(sql) + ": " + message);
        }
    }

private:
    enum class Role { Plain, Lock, Check, Guard, Keep, Savepoint, Insert, Release, Bulk, Commit };
    struct Command {
        Command(Role role, QByteArray sql) : role(role), sql(std::move(sql)) {}
        Command(const WindowInsert* insert, qsizetype number)
            : role(Role::Insert), insert(insert), number(number) {}
        Role role;
        QByteArray sql;                         // all but Insert
        const WindowInsert* insert = nullptr;   // Insert
        qsizetype number = 0;                   // the insert's number in its request
        std::vector<const WindowInsert*> rows;  // Bulk: inserts of one statement
    };
    // The answer to one command of a pipeline.
    struct Answer {
        ExecStatusType status = PGRES_COMMAND_OK;
        QByteArray state;
        QString message;
        RowSet rows;  // Check
        bool ok() const { return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK; }
    };

    QByteArray name(int number) const { return prefix_ + QByteArray::number(number); }
    bool alive() const {
        return postgresHandle(connection_.database()) == conn_ && PQstatus(conn_) == CONNECTION_OK;
    }
    void requireAlive() const {
        if (!alive()) throw StoreUnavailable("与数据库服务器的连接已断开");
    }

    // A text with U+0000 cannot reach the server (libpq passes texts as C strings); such an
    // insert is refused as the server refuses such a statement, after the ones before it.
    static bool holdsNul(const WindowInsert& insert) {
        for (const QVariant& value : insert.values)
            if (value.typeId() == QMetaType::QString && value.toString().contains(QChar(0)))
                return true;
        return false;
    }

    // Whether a refusal is about one statement's values (a value too long, a key taken, a
    // trigger or a check of the installation's refusing the row), by its SQLSTATE class.
    // These classes refuse every statement alike: a lost connection (08), a read-only
    // transaction (25), no login (28), no such database or schema (3D, 3F), a deadlock or a
    // serialisation failure (40), no right or a broken schema (42), no space or too many
    // connections (53), a lock not available (55), a server shutting down (57), an I/O error
    // (58), configuration and internal errors (F0, HV, XX).
    static bool refusesValues(const QByteArray& state) {
        if (state.size() < 2) return false;
        for (const char* all :
             {"08", "25", "28", "3D", "3F", "40", "42", "53", "55", "57", "58", "F0", "HV", "XX"})
            if (state.startsWith(all)) return false;
        return true;
    }

    void addInserts(std::vector<Command>& commands, std::span<const WindowInsert> inserts,
                    bool commit) {
        qsizetype number = 0;
        nulAt_ = -1;
        for (const WindowInsert& insert : inserts) {
            if (holdsNul(insert)) {
                nulAt_ = number;
                commit = false;
                break;
            }
            if (insert.keep >= 0)
                commands.push_back({Role::Keep, "SAVEPOINT " + keepName(insert.keep)});
            commands.push_back({Role::Savepoint, "SAVEPOINT cv_window_insert"});
            commands.emplace_back(&insert, number);
            commands.push_back({Role::Release, "RELEASE SAVEPOINT cv_window_insert"});
            ++number;
        }
        if (commit) commands.push_back({Role::Commit, "COMMIT"});
    }

    bool bulkable(const WindowRequest& request) const {
        if (!request.commit || request.inserts.size() < 2) return false;
        for (const WindowInsert& insert : request.inserts)
            if (insert.keep >= 0 || holdsNul(insert)) return false;
        return true;
    }

    // The inserts as multi-row inserts, one a statement in the order the statements first
    // come (and more where one would pass PostgreSQL's 65,535 parameters), then COMMIT.
    void addBulk(std::vector<Command>& commands, std::span<const WindowInsert> inserts) {
        std::vector<int> order;
        for (const WindowInsert& insert : inserts)
            if (std::find(order.begin(), order.end(), insert.statement) == order.end())
                order.push_back(insert.statement);
        for (const int statement : order) {
            const std::size_t most = std::max<std::size_t>(
                1, 65535 / std::size_t(std::max(1, marks_[std::size_t(statement)])));
            Command bulk(Role::Bulk, {});
            for (const WindowInsert& insert : inserts) {
                if (insert.statement != statement) continue;
                bulk.rows.push_back(&insert);
                if (bulk.rows.size() == most) {
                    commands.push_back(std::move(bulk));
                    bulk = Command(Role::Bulk, {});
                }
            }
            if (!bulk.rows.empty()) commands.push_back(std::move(bulk));
        }
        commands.push_back({Role::Commit, "COMMIT"});
    }

    void settleBulk(const std::vector<Command>& commands, std::size_t first, std::size_t inserts,
                    WindowAnswer& answer) {
        for (std::size_t i = first; i < commands.size(); ++i) {
            const Answer& a = answers_[i];
            if (a.ok()) continue;
            if (commands[i].role != Role::Bulk || !refusesValues(a.state))
                throw StoreUnavailable(a.message.toStdString());
            rollback();  // the careful way goes next
            return;
        }
        if (qstrcmp(answers_.back().message.toUtf8(), "COMMIT") != 0)
            throw StoreUnavailable("数据库未能提交");
        ++costs.commits;
        own_ = false;
        answer.stored = qsizetype(inserts);
        answer.committed = true;
    }

    // Reads the answers of the inserts (from `first` on) into `answer`, and puts the
    // transaction right after a refused one.
    void settle(const std::vector<Command>& commands, std::size_t first, std::size_t inserts,
                WindowAnswer& answer) {
        for (std::size_t i = first; i < commands.size(); ++i) {
            const Answer& a = answers_[i];
            const Command& command = commands[i];
            if (a.ok()) {
                if (command.role == Role::Insert) answer.stored = command.number + 1;
                if (command.role == Role::Commit) {
                    if (qstrcmp(a.message.toUtf8(), "COMMIT") != 0)
                        throw StoreUnavailable("数据库未能提交");
                    ++costs.commits;
                    own_ = false;
                    answer.committed = true;
                }
                continue;
            }
            if (command.role != Role::Insert || !refusesValues(a.state))
                throw StoreUnavailable(a.message.toStdString());
            exec("ROLLBACK TO SAVEPOINT cv_window_insert");
            exec("RELEASE SAVEPOINT cv_window_insert");
            answer.refusal = a.message;
            return;
        }
        if (nulAt_ >= 0 && answer.stored == nulAt_ && std::size_t(nulAt_) < inserts)
            answer.refusal = QStringLiteral("值中含有空字符 (U+0000), 数据库服务器无法保存");
    }

    void send(const Command& command);
    void sendBulk(const Command& command);
    void pipeline(const std::vector<Command>& commands, const WindowWait* wait,
                  const std::function<void()>& alive);
    void pump(bool wait);
    [[noreturn]] void failConnection(const char* what);

    PGconn* conn_;
    QByteArray prefix_;
    std::vector<int> marks_;     // marks of each statement
    std::vector<QString> sqls_;  // each statement as adapted
    qsizetype nulAt_ = -1;       // the insert a U+0000 kept back, in the last request

    std::vector<Answer> answers_;  // of the current pipeline, in the order of its commands
    bool answerOpen_ = false;      // a result of the current command came, its end not yet
    bool synced_ = false;
    bool cancelled_ = false;  // the wait for the lock was given up
};

void WindowedWriter::PostgresEngine::failConnection(const char* what) {
    const std::string message = PQerrorMessage(conn_);
    PQexitPipelineMode(conn_);
    PQsetnonblocking(conn_, 0);
    throw StoreUnavailable(std::string(what) + ": " + message);
}

void WindowedWriter::PostgresEngine::send(const Command& command) {
    if (command.role == Role::Bulk) {
        sendBulk(command);
        return;
    }
    if (command.role != Role::Insert) {
        if (!PQsendQueryParams(conn_, command.sql.constData(), 0, nullptr, nullptr, nullptr,
                               nullptr, 0))
            failConnection("无法向数据库服务器发送");
        return;
    }
    const WindowInsert& insert = *command.insert;
    const std::size_t statement = std::size_t(insert.statement);
    if (statement >= marks_.size() || insert.values.size() != marks_[statement])
        throw DbError("an insert of the window does not fit its statement");
    std::vector<QByteArray> texts(std::size_t(insert.values.size()));
    std::vector<const char*> values(texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const QVariant& value = insert.values[qsizetype(i)];
        if (value.isNull()) continue;
        texts[i] = value.typeId() == QMetaType::Bool ? QByteArray(value.toBool() ? "t" : "f")
                                                     : value.toString().toUtf8();
        values[i] = texts[i].constData();
    }
    if (!PQsendQueryPrepared(conn_, name(insert.statement).constData(), int(values.size()),
                             values.data(), nullptr, nullptr, 0))
        failConnection("无法向数据库服务器发送");
}

// The rows of one statement as one INSERT with a VALUES group a row, each value a parameter.
void WindowedWriter::PostgresEngine::sendBulk(const Command& command) {
    const int statement = command.rows.front()->statement;
    const QString& sql = sqls_[std::size_t(statement)];
    const qsizetype values = sql.indexOf(QLatin1String("VALUES"), 0, Qt::CaseInsensitive);
    if (values < 0) throw DbError("an insert without VALUES cannot go as one");
    const int marks = marks_[std::size_t(statement)];
    QString text = sql.left(values) + QLatin1String("VALUES ");
    std::vector<QByteArray> texts;
    std::vector<const char*> params;
    texts.reserve(command.rows.size() * std::size_t(marks));
    params.reserve(texts.capacity());
    int number = 0;
    for (std::size_t r = 0; r < command.rows.size(); ++r) {
        const WindowInsert& insert = *command.rows[r];
        if (insert.values.size() != marks)
            throw DbError("an insert of the window does not fit its statement");
        text += r ? QLatin1String(",(") : QLatin1String("(");
        for (int m = 0; m < marks; ++m) {
            text += (m ? QLatin1String(",$") : QLatin1String("$")) + QString::number(++number);
            const QVariant& value = insert.values[m];
            if (value.isNull()) {
                texts.emplace_back();
                params.push_back(nullptr);
                continue;
            }
            texts.push_back(value.typeId() == QMetaType::Bool
                                ? QByteArray(value.toBool() ? "t" : "f")
                                : value.toString().toUtf8());
            params.push_back(texts.back().constData());
        }
        text += QLatin1Char(')');
    }
    const QByteArray utf8 = text.toUtf8();
    if (!PQsendQueryParams(conn_, utf8.constData(), int(params.size()), nullptr, params.data(),
                           nullptr, nullptr, 0))
        failConnection("无法向数据库服务器发送");
}

// Sends what libpq holds and reads what has come; with `wait`, first waits up to 100 ms on
// the socket for something to do. Answers are gathered as they complete.
void WindowedWriter::PostgresEngine::pump(bool wait) {
    const int flushed = PQflush(conn_);
    if (flushed < 0) failConnection("无法向数据库服务器发送");
    pollfd socket{PQsocket(conn_), short(POLLIN | (flushed == 1 ? POLLOUT : 0)), 0};
    const int ready = poll(&socket, 1, wait ? 100 : 0);
    if (ready < 0 && errno != EINTR) failConnection("等待数据库服务器时出错");
    if (ready <= 0 || !(socket.revents & (POLLIN | POLLERR | POLLHUP))) return;
    if (!PQconsumeInput(conn_)) failConnection("与数据库服务器的连接已断开");
    while (!synced_ && !PQisBusy(conn_)) {
        PGresult* result = PQgetResult(conn_);
        if (!result) {
            // The end of the command whose result came last; a second end in a row means
            // nothing more is there yet.
            if (!answerOpen_) break;
            answerOpen_ = false;
            continue;
        }
        const ExecStatusType status = PQresultStatus(result);
        if (status == PGRES_PIPELINE_SYNC) {
            synced_ = true;
        } else {
            Answer answer;
            answer.status = status;
            const char* state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
            answer.state = state ? state : "";
            answer.message = status == PGRES_COMMAND_OK
                                 ? QString::fromUtf8(PQcmdStatus(result))
                                 : QString::fromUtf8(PQresultErrorMessage(result)).trimmed();
            if (status == PGRES_TUPLES_OK) {
                for (int f = 0; f < PQnfields(result); ++f)
                    answer.rows.fields.append({QString::fromUtf8(PQfname(result, f))});
                for (int r = 0; r < PQntuples(result); ++r) {
                    Row row(PQnfields(result));
                    for (int f = 0; f < PQnfields(result); ++f)
                        if (!PQgetisnull(result, r, f))
                            row[f] = QString::fromUtf8(PQgetvalue(result, r, f),
                                                       PQgetlength(result, r, f));
                    answer.rows.rows.append(std::move(row));
                }
            }
            answers_.push_back(std::move(answer));
            answerOpen_ = true;
        }
        PQclear(result);
    }
}

void WindowedWriter::PostgresEngine::pipeline(const std::vector<Command>& commands,
                                              const WindowWait* wait,
                                              const std::function<void()>& alive) {
    answers_.clear();
    answers_.reserve(commands.size());
    answerOpen_ = false;
    synced_ = false;
    cancelled_ = false;
    if (PQsetnonblocking(conn_, 1) != 0 || !PQenterPipelineMode(conn_))
        failConnection("无法进入管道模式");
    ++costs.roundTrips;
    // The server answers while it reads: what has come is read now and then, so that neither
    // side waits on a full buffer.
    for (std::size_t i = 0; i < commands.size(); ++i) {
        send(commands[i]);
        if (i % 64 == 63) pump(false);
    }
    if (!PQpipelineSync(conn_)) failConnection("无法向数据库服务器发送");
    QElapsedTimer clock;
    clock.start();
    qint64 lastCall = 0;
    while (!synced_) {
        pump(true);
        if (PQstatus(conn_) != CONNECTION_OK) failConnection("与数据库服务器的连接已断开");
        if (clock.elapsed() - lastCall < 50) continue;
        lastCall = clock.elapsed();
        // While the lock is awaited, the caller may give up: the server is asked to cancel.
        const bool locking = wait && answers_.size() < 3;
        if (locking && !cancelled_ && wait->waiting && !wait->waiting(int(clock.elapsed()))) {
            cancelled_ = true;
            if (PGcancel* cancel = PQgetCancel(conn_)) {
                char error[256];
                PQcancel(cancel, error, sizeof error);
                PQfreeCancel(cancel);
            }
        } else if (!locking && alive) {
            alive();
        }
    }
    PQexitPipelineMode(conn_);
    PQsetnonblocking(conn_, 0);
    if (answers_.size() != commands.size()) throw StoreUnavailable("数据库服务器的回答不完整");
}

WindowedWriter::WindowedWriter(Connection& connection, const QStringList& statements) {
    const QSqlDatabase db = connection.database();
    if (sqlite3* sqlite = sqliteHandle(db)) {
        engine_ = std::make_unique<SqliteEngine>(connection, sqlite);
    } else if (PGconn* conn = postgresHandle(db)) {
        engine_ = std::make_unique<PostgresEngine>(connection, conn);
    } else {
        throw StoreUnavailable("数据库连接未打开, 或不是 SQLite 或 PostgreSQL");
    }
    for (const QString& sql : statements) engine_->addStatement(sql);
}

WindowedWriter::~WindowedWriter() = default;

int WindowedWriter::addStatement(const QString& hostSql) { return engine_->addStatement(hostSql); }

void WindowedWriter::noteStore() { engine_->noteStore(); }

WindowAnswer WindowedWriter::open(const WindowRequest& request, const WindowWait& wait,
                                  const std::function<void()>& alive) {
    return engine_->open(request, wait, alive);
}

WindowAnswer WindowedWriter::go(std::span<const WindowInsert> inserts, bool commit,
                                const std::function<void()>& alive) {
    return engine_->go(inserts, commit, alive);
}

bool WindowedWriter::inWindow() const { return engine_->inWindow(); }

bool WindowedWriter::ownerInTransaction() const { return engine_->ownerInTransaction(); }

RowSet WindowedWriter::query(const QString& hostSql) { return engine_->query(hostSql); }

void WindowedWriter::rollbackTo(int keep) { engine_->rollbackTo(keep); }

void WindowedWriter::commit() { engine_->commit(); }

void WindowedWriter::rollback() { engine_->rollback(); }

WindowedWriter::Costs WindowedWriter::costs() const { return engine_->costs; }

}  // namespace cv
