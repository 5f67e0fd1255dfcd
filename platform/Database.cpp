#include "Database.h"

#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>
#include <atomic>

#include "DriverRows.h"
#include "EngineHandles.h"
#include "PostgresEngine.h"
#include "SqliteEngine.h"

namespace cv {
namespace {

std::atomic<int> connectionCount{0};

// "Left" is a join keyword to SQLite and cannot name a function there: calls outside quoted
// text go to cv_left instead.
QString renameLeftCalls(const QString& sql) {
    static const QRegularExpression call(R"(\bleft\s*\()",
                                         QRegularExpression::CaseInsensitiveOption);
    QString out;
    qsizetype copied = 0;
    qsizetype scanned = 0;
    QChar quote;
    for (auto it = call.globalMatch(sql); it.hasNext();) {
        const auto match = it.next();
        for (; scanned < match.capturedStart(); ++scanned) {
            const QChar c = sql[scanned];
            if (quote.isNull() && (c == '\'' || c == '"')) {
                quote = c;
            } else if (c == quote) {
                quote = QChar();
            }
        }
        if (!quote.isNull()) continue;
        out += QStringView(sql).mid(copied, match.capturedStart() - copied);
        out += QLatin1String("cv_left(");
        copied = match.capturedEnd();
    }
    return out + sql.mid(copied);
}

}  // namespace

QString sqlQuote(const QString& value) {
    QString quoted = value;
    quoted.replace('\'', QLatin1String("''"));
    return '\'' + quoted + '\'';
}

std::unique_ptr<Connection> Connection::open(const QString& target) {
    if (target.isEmpty()) throw DbError("no database given");
    const QString name = QStringLiteral("cv-connection-%1").arg(++connectionCount);
    const QUrl url(target);
    const bool server = url.scheme() == "postgresql" || url.scheme() == "postgres";
    const QString options = server ? postgresOptions(url) : QString();
    QString failure;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(server ? "QPSQL" : "QSQLITE", name);
        if (server) {
            db.setHostName(url.host());
            db.setPort(url.port(5432));
            db.setUserName(url.userName());
            db.setPassword(url.password());
            db.setDatabaseName(url.path().mid(1));
            db.setConnectOptions(options);
        } else {
            db.setDatabaseName(target);
        }
        if (db.open()) {
            try {
                return std::make_unique<Connection>(name);
            } catch (const DbError& e) {
                failure = QString::fromStdString(e.what());
            }
        } else {
            failure = db.lastError().text();
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    const QString shown = server ? url.toDisplayString(QUrl::RemovePassword) : target;
    throw DbError(QStringLiteral("cannot open %1: %2").arg(shown, failure).toStdString());
}

Connection::Connection(const QString& qtConnectionName) : name_(qtConnectionName) {
    const QSqlDatabase db = database();
    if (!db.isOpen()) throw DbError("database connection is not open: " + name_.toStdString());
    if (db.driverName() == "QSQLITE") {
        dialect_ = Dialect::SQLite;
        addSqliteFunctions(db);
    } else if (db.driverName() == "QPSQL") {
        dialect_ = Dialect::PostgreSQL;
        preparePostgres(db);
    } else {
        dialect_ = Dialect::Other;
    }
}

Connection::~Connection() {
    database().close();
    QSqlDatabase::removeDatabase(name_);
}

bool Connection::connected() const {
    const QSqlDatabase db = database();
    if (!db.isOpen()) return false;
    if (dialect_ == Dialect::SQLite) return true;
    QSqlQuery query(db);
    return query.exec("SELECT 1");
}

Dialect Connection::dialect() const { return dialect_; }

QSqlDatabase Connection::database() const { return QSqlDatabase::database(name_, false); }

QString Connection::adapt(const QString& hostSql) const {
    if (dialect_ == Dialect::Other) return hostSql;
    static const QRegularExpression top(R"(^(\s*select\s+(?:distinct\s+)?)top\s+(\d+)\b\s*)",
                                        QRegularExpression::CaseInsensitiveOption);
    QString sql = hostSql;
    if (const auto match = top.match(sql); match.hasMatch()) {
        sql = match.captured(1) + sql.mid(match.capturedEnd());
        while (!sql.isEmpty() && (sql.back().isSpace() || sql.back() == ';')) sql.chop(1);
        sql += " LIMIT " + match.captured(2);
    }
    return dialect_ == Dialect::SQLite ? renameLeftCalls(sql) : sql;
}

Query::Query(Connection* connection) : connection_(connection) {}

void Query::setConnection(Connection* connection) {
    close();
    connection_ = connection;
}

void Query::setCommandText(const QString& sql) {
    close();
    sql_ = sql;
}

void Query::open() {
    close();
    if (sqlite3* sqlite = connection_ ? sqliteHandle(connection_->database()) : nullptr) {
        data_ = SqliteRows(sqlite, connection_->adapt(sql_)).read();
        current_ = 0;
        active_ = true;
        return;
    }
    DriverRows rows(connection_, sql_);
    RowSet data;
    data.fields = rows.fields();
    const int count = int(data.fields.size());
    while (rows.next()) {
        Row row;
        row.reserve(count);
        for (int i = 0; i < count; ++i) row.append(rows.value(i));
        data.rows.append(std::move(row));
    }
    data_ = std::move(data);
    current_ = 0;
    active_ = true;
}

void Query::close() {
    data_ = {};
    current_ = 0;
    active_ = false;
}

bool Query::eof() const { return current_ >= data_.rows.size(); }

void Query::first() { current_ = 0; }

void Query::next() {
    if (!eof()) ++current_;
}

QVariant Query::field(const QString& name) const {
    const int index = data_.indexOf(name);
    if (index < 0) throw DbError("no field " + name.toStdString());
    if (eof()) throw DbError("no current row for field " + name.toStdString());
    return data_.rows[current_][index];
}

// On SQLite the statement runs on the driver's own handle rather than through Qt: Qt binds
// texts as UTF-16, and SQLite takes a leading U+FEFF or U+FFFE of a UTF-16 text for a byte
// order mark, dropping it (or reading the rest byte-swapped). Bound as UTF-8, every character
// is stored as it was.
struct PreparedStatement::Prepared {
    QString sql;
    QSqlQuery query;     // other engines
    QString connection;  // SQLite: the connection the handle belongs to
    std::unique_ptr<SqliteStatement> sqlite;

    // The handle goes when the connection closes; the statement must not be run after it.
    bool handleAlive() const {
        return sqliteHandle(QSqlDatabase::database(connection, false)) == sqlite->handle();
    }
};

PreparedStatement::PreparedStatement(Connection* connection, const QString& hostSql) {
    if (!connection) throw DbError("no connection");
    const QString sql = connection->adapt(hostSql);
    const QSqlDatabase db = connection->database();
    if (!db.isOpen())
        throw DbError("the database is not open [statement: " + sql.toStdString() + ']');
    prepared_ = std::make_unique<Prepared>();
    prepared_->sql = sql;
    if (sqlite3* sqlite = sqliteHandle(db)) {
        prepared_->connection = db.connectionName();
        prepared_->sqlite = std::make_unique<SqliteStatement>(sqlite, sql);
        return;
    }
    prepared_->query = QSqlQuery(db);
    prepared_->query.setForwardOnly(true);
    if (!prepared_->query.prepare(sql)) refuseStatement(prepared_->query.lastError(), sql);
}

PreparedStatement::~PreparedStatement() = default;

void PreparedStatement::execute(const QVariantList& values) {
    Prepared& p = *prepared_;
    if (p.sqlite) {
        if (!p.handleAlive())
            throw DbError("the database is not open [statement: " + p.sql.toStdString() + ']');
        p.sqlite->execute(values);
        return;
    }
    QSqlQuery& query = p.query;
    for (qsizetype i = 0; i < values.size(); ++i) query.bindValue(int(i), values[i]);
    if (!query.exec()) refuseStatement(query.lastError(), p.sql);
    query.finish();
}

Command::Command(Connection* connection) : connection_(connection) {}

void Command::setConnection(Connection* connection) { connection_ = connection; }

void Command::execute() {
    // On SQLite as a Query runs its statement, so that a text in it arrives whole.
    if (sqlite3* sqlite = connection_ ? sqliteHandle(connection_->database()) : nullptr) {
        SqliteRows(sqlite, connection_->adapt(sql_)).read();
        return;
    }
    runStatement(connection_, sql_);
}

}  // namespace cv
