#include "WindowedWriter.h"

#include <libpq-fe.h>
#include <poll.h>
#include <sqlite3.h>

#include <QElapsedTimer>
#include <QThread>
#include <vector>

#include "Database.h"
#include "EngineHandles.h"

namespace cv {

class WindowedWriter::Engine {
public:
    explicit Engine(Connection& connection) : connection_(connection) {}
    virtual ~Engine() = default;
    virtual int addStatement(const QString& sql) = 0;
    virtual bool tryBegin() = 0;  // false: the lock is held by another
    virtual void abandonBegin() = 0;
    virtual bool inWindow() const = 0;
    virtual qsizetype apply(std::span<const WindowInsert> inserts, QString* refusal,
                            const std::function<void()>& alive) = 0;
    virtual void commit() = 0;
    virtual void rollback() = 0;

    void rollbackTo(int keep) { exec(("ROLLBACK TO SAVEPOINT " + keepName(keep)).constData()); }
    static QByteArray keepName(int keep) { return "cv_window_keep_" + QByteArray::number(keep); }
    virtual void exec(const char* sql) = 0;  // throws StoreUnavailable

    RowSet query(const QString& hostSql) {
        ++costs.roundTrips;
        Query query(&connection_);
        query.setCommandText(hostSql);
        query.open();
        return query.data();
    }

    Costs costs;

protected:
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

}  // namespace

// SQLite: the window is BEGIN IMMEDIATE on the connection's own handle. A refused statement
// undoes only itself in SQLite, so the savepoint of each insert is the statement's own.
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

    bool tryBegin() override {
        requireAlive();
        if (!sqlite3_get_autocommit(sqlite_))
            throw StoreUnavailable("主程序的数据库连接正处于一个未结束的事务中");
        // The host's busy timeout would hold the thread for seconds at a time; the caller
        // waits instead, between short tries, and the host's own timeout comes back after.
        const int hostTimeout = busyTimeout();
        sqlite3_busy_timeout(sqlite_, 20);
        const int rc = sqlite3_exec(sqlite_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        const QByteArray message = sqlite3_errmsg(sqlite_);
        sqlite3_busy_timeout(sqlite_, hostTimeout);
        ++costs.roundTrips;
        if (rc == SQLITE_OK) return true;
        if ((rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED) return false;
        throw StoreUnavailable("无法开始写入: " + message.toStdString());
    }
    void abandonBegin() override {}
    bool inWindow() const override {
        return sqliteHandle(connection_.database()) == sqlite_ && !sqlite3_get_autocommit(sqlite_);
    }

    qsizetype apply(std::span<const WindowInsert> inserts, QString* refusal,
                    const std::function<void()>&) override {
        requireAlive();
        qsizetype done = 0;
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
                if (refusal) *refusal = QString::fromUtf8(e.what());
                return done;
            }
            ++done;
        }
        return done;
    }

    void commit() override {
        requireAlive();
        ++costs.roundTrips;
        if (sqlite3_exec(sqlite_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK) {
            ++costs.commits;
            return;
        }
        const std::string message = sqlite3_errmsg(sqlite_);
        rollback();
        throw StoreUnavailable("数据库未能提交: " + message);
    }

    void rollback() override {
        if (inWindow()) sqlite3_exec(sqlite_, "ROLLBACK", nullptr, nullptr, nullptr);
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

    sqlite3* sqlite_;
    std::vector<std::unique_ptr<PreparedStatement>> statements_;
};

// PostgreSQL: the window is BEGIN and the advisory lock; the inserts go as one pipeline of
// SAVEPOINT, EXECUTE, RELEASE per insert, with one sync at the end. The server skips
// everything after a failed statement up to the sync, so a refusal ends the pipeline there:
// the refused insert's savepoint is rolled back and the caller sends the rest again.
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
        return number;
    }

    bool tryBegin() override {
        requireAlive();
        if (!begun_) {
            if (PQtransactionStatus(conn_) != PQTRANS_IDLE)
                throw StoreUnavailable("主程序的数据库连接正处于一个未结束的事务中");
            exec("BEGIN");
            begun_ = true;
        }
        const QByteArray lock =
            "SELECT pg_try_advisory_xact_lock(" + QByteArray::number(LockKey) + ")";
        PGresult* result = PQexec(conn_, lock.constData());
        ++costs.roundTrips;
        const bool ok = PQresultStatus(result) == PGRES_TUPLES_OK;
        const bool taken = ok && PQntuples(result) == 1 && PQgetvalue(result, 0, 0)[0] == 't';
        const std::string message = PQresultErrorMessage(result);
        PQclear(result);
        if (!ok) {
            rollback();
            throw StoreUnavailable("无法取得导入锁: " + message);
        }
        return taken;
    }
    void abandonBegin() override { rollback(); }
    bool inWindow() const override { return alive() && PQtransactionStatus(conn_) != PQTRANS_IDLE; }

    qsizetype apply(std::span<const WindowInsert> inserts, QString* refusal,
                    const std::function<void()>& alive) override {
        requireAlive();
        // A text with U+0000 cannot reach the server (libpq passes texts as C strings): it is
        // refused here, as the server refuses such a statement, and the ones before it go.
        qsizetype sendable = 0;
        for (; sendable < qsizetype(inserts.size()); ++sendable)
            if (holdsNul(inserts[std::size_t(sendable)])) break;
        const qsizetype done = pipeline(inserts.first(std::size_t(sendable)), refusal, alive);
        if (done < sendable) return done;
        if (sendable < qsizetype(inserts.size()) && refusal)
            *refusal = QStringLiteral("值中含有空字符 (U+0000), 数据库服务器无法保存");
        return sendable;
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
        begun_ = false;
        if (ok) {
            ++costs.commits;
            return;
        }
        rollback();
        throw StoreUnavailable("数据库未能提交" + (message.empty() ? "" : ": " + message));
    }

    void rollback() override {
        begun_ = false;
        if (alive() && PQtransactionStatus(conn_) != PQTRANS_IDLE)
            PQclear(PQexec(conn_, "ROLLBACK"));
    }

private:
    QByteArray name(int number) const { return prefix_ + QByteArray::number(number); }
    bool alive() const {
        return postgresHandle(connection_.database()) == conn_ && PQstatus(conn_) == CONNECTION_OK;
    }
    void requireAlive() const {
        if (!alive()) throw StoreUnavailable("与数据库服务器的连接已断开");
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
    static bool refusesValues(const char* state) {
        if (!state || !*state) return false;
        for (const char* all :
             {"08", "25", "28", "3D", "3F", "40", "42", "53", "55", "57", "58", "F0", "HV", "XX"})
            if (qstrncmp(state, all, 2) == 0) return false;
        return true;
    }

    // Sends `inserts` as one pipeline; answers how many were stored before the first refusal.
    qsizetype pipeline(std::span<const WindowInsert> inserts, QString* refusal,
                       const std::function<void()>& alive);
    void send(const WindowInsert& insert, qsizetype insertNumber);
    void pump(bool wait, const std::function<void()>& alive);
    void failConnection(const char* what);

    PGconn* conn_;
    QByteArray prefix_;
    std::vector<int> marks_;  // marks of each statement
    bool begun_ = false;

    // The answers of one pipeline, in the order of its commands.
    struct Answer {
        ExecStatusType status = PGRES_COMMAND_OK;
        QByteArray state;
        QString message;
    };
    std::vector<Answer> answers_;
    // What each command of the pipeline is: to which insert it belongs, and its part.
    enum class Role { Keep, Savepoint, Insert, Release };
    struct CommandRole {
        qsizetype insert;
        Role role;
    };
    std::vector<CommandRole> roles_;
    bool answerOpen_ = false;  // a result of the current command came, its end not yet
    bool synced_ = false;
};

void WindowedWriter::PostgresEngine::failConnection(const char* what) {
    const std::string message = PQerrorMessage(conn_);
    PQexitPipelineMode(conn_);
    PQsetnonblocking(conn_, 0);
    throw StoreUnavailable(std::string(what) + ": " + message);
}

void WindowedWriter::PostgresEngine::send(const WindowInsert& insert, qsizetype insertNumber) {
    static const char* const savepoint = "SAVEPOINT cv_window_insert";
    static const char* const release = "RELEASE SAVEPOINT cv_window_insert";
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
    if (insert.keep >= 0) {
        const QByteArray keep = "SAVEPOINT " + keepName(insert.keep);
        if (!PQsendQueryParams(conn_, keep.constData(), 0, nullptr, nullptr, nullptr, nullptr, 0))
            failConnection("无法向数据库服务器发送");
        roles_.push_back({insertNumber, Role::Keep});
    }
    roles_.push_back({insertNumber, Role::Savepoint});
    roles_.push_back({insertNumber, Role::Insert});
    roles_.push_back({insertNumber, Role::Release});
    if (!PQsendQueryParams(conn_, savepoint, 0, nullptr, nullptr, nullptr, nullptr, 0) ||
        !PQsendQueryPrepared(conn_, name(insert.statement).constData(), int(values.size()),
                             values.data(), nullptr, nullptr, 0) ||
        !PQsendQueryParams(conn_, release, 0, nullptr, nullptr, nullptr, nullptr, 0))
        failConnection("无法向数据库服务器发送");
}

// Sends what libpq holds and reads what has come; with `wait`, waits on the socket until
// something can be done. Answers are gathered as they complete.
void WindowedWriter::PostgresEngine::pump(bool wait, const std::function<void()>& alive) {
    const int flushed = PQflush(conn_);
    if (flushed < 0) failConnection("无法向数据库服务器发送");
    pollfd socket{PQsocket(conn_), short(POLLIN | (flushed == 1 ? POLLOUT : 0)), 0};
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const int ready = poll(&socket, 1, wait ? 100 : 0);
        if (ready > 0 || !wait) break;
        if (ready < 0 && errno != EINTR) failConnection("等待数据库服务器时出错");
        if (alive) alive();
    }
    if (!(socket.revents & (POLLIN | POLLERR | POLLHUP))) return;
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
            const char* state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
            answers_.push_back({status, QByteArray(state ? state : ""),
                                QString::fromUtf8(PQresultErrorMessage(result)).trimmed()});
            answerOpen_ = true;
        }
        PQclear(result);
    }
}

qsizetype WindowedWriter::PostgresEngine::pipeline(std::span<const WindowInsert> inserts,
                                                   QString* refusal,
                                                   const std::function<void()>& alive) {
    if (inserts.empty()) return 0;
    answers_.clear();
    answers_.reserve(inserts.size() * 3);
    roles_.clear();
    roles_.reserve(inserts.size() * 3);
    answerOpen_ = false;
    synced_ = false;
    if (PQsetnonblocking(conn_, 1) != 0 || !PQenterPipelineMode(conn_))
        failConnection("无法进入管道模式");
    ++costs.roundTrips;
    // The server answers while it reads: what has come is read now and then, so that neither
    // side waits on a full buffer.
    qsizetype sent = 0;
    for (const WindowInsert& insert : inserts) {
        send(insert, sent);
        if (++sent % 64 == 0) pump(false, alive);
    }
    if (!PQpipelineSync(conn_)) failConnection("无法向数据库服务器发送");
    while (!synced_) {
        pump(true, alive);
        if (PQstatus(conn_) != CONNECTION_OK) failConnection("与数据库服务器的连接已断开");
    }
    PQexitPipelineMode(conn_);
    PQsetnonblocking(conn_, 0);

    for (std::size_t i = 0; i < answers_.size() && i < roles_.size(); ++i) {
        const Answer& answer = answers_[i];
        if (answer.status == PGRES_COMMAND_OK) continue;
        const qsizetype insert = roles_[i].insert;
        if (roles_[i].role != Role::Insert || !refusesValues(answer.state.constData()))
            throw StoreUnavailable(answer.message.toStdString());
        exec("ROLLBACK TO SAVEPOINT cv_window_insert");
        exec("RELEASE SAVEPOINT cv_window_insert");
        if (refusal) *refusal = answer.message;
        return insert;
    }
    if (answers_.size() != roles_.size()) throw StoreUnavailable("数据库服务器的回答不完整");
    return qsizetype(inserts.size());
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

void WindowedWriter::begin(const WindowWait& wait) {
    QElapsedTimer clock;
    clock.start();
    for (int pause = 5;; pause = std::min(pause * 2, 50)) {
        if (engine_->tryBegin()) return;
        const int waited = int(clock.elapsed());
        if (waited >= wait.timeoutMs) {
            engine_->abandonBegin();
            throw StoreUnavailable(QStringLiteral("数据库被其他程序占用, 等待 %1 秒后仍无法写入")
                                       .arg(wait.timeoutMs / 1000)
                                       .toStdString());
        }
        if (wait.waiting && !wait.waiting(waited)) {
            engine_->abandonBegin();
            throw WaitAbandoned("等待数据库时取消");
        }
        QThread::msleep(unsigned(pause));
    }
}

bool WindowedWriter::inWindow() const { return engine_->inWindow(); }

void WindowedWriter::rollbackTo(int keep) { engine_->rollbackTo(keep); }

RowSet WindowedWriter::query(const QString& hostSql) { return engine_->query(hostSql); }

qsizetype WindowedWriter::apply(std::span<const WindowInsert> inserts, QString* refusal,
                                const std::function<void()>& alive) {
    return engine_->apply(inserts, refusal, alive);
}

void WindowedWriter::commit() { engine_->commit(); }

void WindowedWriter::rollback() { engine_->rollback(); }

WindowedWriter::Costs WindowedWriter::costs() const { return engine_->costs; }

}  // namespace cv
