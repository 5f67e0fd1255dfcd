// The host's database access objects over Qt SQL: a connection, a query dataset and a
// command. Statements arrive in the host database's dialect (`Top n`, `Len`, `Left`, `max`
// over text, lengths compared with quoted numbers) and are adapted to the engine here.
#pragma once

#include <QSqlDatabase>
#include <QString>
#include <functional>
#include <memory>
#include <vector>

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

// The rows of a statement as texts, for readers that only show them (the trees): for each
// value the text valueText gives of the value Query::open reads, a NULL told apart, all of
// them in one flat list, with no QVariant per value and no list per row.
class TextRows {
public:
    const QList<FieldDef>& fields() const { return shape_.fields; }
    int indexOf(const QString& name) const { return shape_.indexOf(name); }  // case ignored
    // Rows read, those let go included (see readTextRows).
    qsizetype size() const {
        return dropped_ + (columns_ > 0 ? qsizetype(texts_.size()) / columns_ : 0);
    }
    const QString& text(qsizetype row, int column) const { return texts_[at(row, column)]; }
    bool isNull(qsizetype row, int column) const { return nulls_[at(row, column)]; }
    // Moves a text out, leaving the empty text (its null flag stays): for a reader that uses
    // each text once and keeps it, so the rows need not be copied and then released.
    QString take(qsizetype row, int column) { return std::move(texts_[at(row, column)]); }

    // The texts of rows read already.
    static TextRows of(const RowSet& rows);

private:
    friend TextRows readTextRows(Connection* connection, const QString& hostSql,
                                 const std::function<void(TextRows&, qsizetype)>& onRow,
                                 bool keepRows);
    void setFields(const QList<FieldDef>& fields);
    void append(QString text, bool null) {
        texts_.push_back(std::move(text));
        nulls_.push_back(null);
    }
    std::size_t at(qsizetype row, int column) const {
        return std::size_t((row - dropped_) * columns_ + column);
    }
    void dropRows() {
        dropped_ = size();
        texts_.clear();
        nulls_.clear();
    }

    RowSet shape_;  // the fields alone
    qsizetype columns_ = 0;
    qsizetype dropped_ = 0;       // rows let go, before those held
    std::vector<QString> texts_;  // row after row
    std::vector<bool> nulls_;
};

// The rows of `hostSql`: read from SQLite's own statement, or else the rows of Query::open.
// Throws DbError as Query::open does. `onRow`, when given, is called with the rows and the
// number of each row as soon as it is in them, so that a reader looks at a row while its
// texts are fresh in the processor's caches; it may take texts out of it. Without
// `keepRows`, each row is let go once `onRow` has seen it: a reader that keeps what it needs
// of the rows then never holds all of them.
using TextRowObserver = std::function<void(TextRows& rows, qsizetype row)>;
TextRows readTextRows(Connection* connection, const QString& hostSql,
                      const TextRowObserver& onRow = {}, bool keepRows = true);

class StagedFile;

// Writes the rows of `hostSql` into `file` (open, not yet committed) as writeDataPacket writes
// the rows Query::open reads, as they are read, without holding them; on SQLite and
// PostgreSQL. False, the file then holding an unfinished packet, on another engine or where
// the rows need the dataset's way (see streamDataPacket). Throws DbError for a refused
// statement, DataPacketError when the file cannot be written.
bool streamQueryPacket(Connection* connection, const QString& hostSql, StagedFile& file);

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
