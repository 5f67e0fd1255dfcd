// The host's database access objects over Qt SQL: a connection, a query dataset, a command and
// a prepared statement. Statements arrive in the host database's dialect (`Top n`, `Len`,
// `Left`, `max` over text, lengths compared with quoted numbers) and are adapted to the engine
// here. A statement's rows as texts are read by TextRows.h, into a data packet by
// QueryPacket.h.
#pragma once

#include <QSqlDatabase>
#include <QString>
#include <memory>

#include "DataSet.h"

namespace cv {

enum class Dialect { SQLite, PostgreSQL, Other };

// `value` between single quotes, each inner single quote doubled: the one place where a value
// becomes SQL text.
QString sqlQuote(const QString& value);

class Connection {
public:
    // Opens an installation's database: a file path (SQLite) or a postgresql:// URL, whose
    // query items are passed on as libpq parameters (?options=-c%20search_path%3Dhr).
    // Throws DbError when it cannot be opened.
    static std::unique_ptr<Connection> open(const QString& target);

    // Takes over an open Qt SQL connection (by its connection name).
    explicit Connection(const QString& qtConnectionName);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // True while the database answers (for a server, a round trip is made).
    bool connected() const;
    Dialect dialect() const;
    QSqlDatabase database() const;
    // The statement rewritten for this engine.
    QString adapt(const QString& hostSql) const;

private:
    QString name_;
    Dialect dialect_;
};

// A query dataset: reads every row of its statement on open.
class Query {
public:
    explicit Query(Connection* connection = nullptr);
    void setConnection(Connection* connection);
    Connection* connection() const { return connection_; }
    void setCommandText(const QString& sql);
    const QString& commandText() const { return sql_; }

    void open();  // throws DbError (no connection, statement refused)
    void close();
    bool active() const { return active_; }
    bool eof() const;
    void first();
    void next();
    // Field of the current row by name, letter case ignored; throws DbError for an unknown
    // name or when there is no current row.
    QVariant field(const QString& name) const;
    QString fieldText(const QString& name) const { return valueText(field(name)); }
    const RowSet& data() const { return data_; }

private:
    Connection* connection_;
    QString sql_;
    RowSet data_;
    qsizetype current_ = 0;
    bool active_ = false;
};

// Executes one statement that returns no rows worth reading.
class Command {
public:
    explicit Command(Connection* connection = nullptr);
    void setConnection(Connection* connection);
    Connection* connection() const { return connection_; }
    void setCommandText(const QString& sql) { sql_ = sql; }
    const QString& commandText() const { return sql_; }
    void execute();  // throws DbError

private:
    Connection* connection_;
    QString sql_;
};

// A statement prepared once and executed many times with bound values ("?" marks), each
// execution its own statement (committed on its own outside a transaction). The text is in
// the host's dialect and adapted like any other. Values are bound, never put into the text.
class PreparedStatement {
public:
    // Throws DbError when there is no open connection or the store refuses the statement.
    PreparedStatement(Connection* connection, const QString& hostSql);
    ~PreparedStatement();
    PreparedStatement(const PreparedStatement&) = delete;
    PreparedStatement& operator=(const PreparedStatement&) = delete;

    // Executes with `values`, one per mark; throws DbError when the store refuses.
    void execute(const QVariantList& values);

private:
    struct Prepared;
    std::unique_ptr<Prepared> prepared_;
};

}  // namespace cv
