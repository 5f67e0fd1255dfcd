#include "Database.h"

#include "DataPacket.h"
#include "EngineHandles.h"
#include "Heartbeat.h"

#include <libpq-fe.h>
#include <sqlite3.h>

#include <QRegularExpression>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlField>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QSqlResult>
#include <QStringDecoder>
#include <QUrl>
#include <QUrlQuery>
#include <atomic>
#include <cstring>
#include <string>

namespace cv {
namespace {

std::atomic<int> connectionCount{0};

[[noreturn]] void refuse(const QSqlError& error, const QString& sql) {
    throw DbError(QStringLiteral("%1 [statement: %2]").arg(error.text(), sql).toStdString());
}

QSqlQuery run(Connection* connection, const QString& hostSql) {
    if (!connection) throw DbError("no connection");
    const QString sql = connection->adapt(hostSql);
    const QSqlDatabase db = connection->database();
    if (!db.isOpen())
        throw DbError("the database is not open [statement: " + sql.toStdString() + ']');
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.exec(sql)) refuse(query.lastError(), sql);
    return query;
}

// PostgreSQL's texts as the server holds them. Qt's driver decodes them with
// QString::fromUtf8, which takes a leading U+FEFF for a byte order mark and drops it (a person
// whose identifier began with one could not be found again by it); such a text is decoded
// again from libpq's result. (SQLite's rows are read on the driver's own handle: SqliteRows.)
class ExactTexts {
  public:
    explicit ExactTexts(Dialect dialect) : postgres_(dialect == Dialect::PostgreSQL) {}

    // Before the values of the query's current row are taken.
    void row(const QSqlQuery& query) {
        result_ = nullptr;
        if (!postgres_) return;
        const QVariant handle = query.result()->handle();
        // Qt names the type after libpq's struct.
        if (qstrcmp(handle.typeName(), "pg_result*") != 0 &&
            qstrcmp(handle.typeName(), "PGresult*") != 0)
            return;
        result_ = *static_cast<PGresult* const*>(handle.constData());
        // One row per result when Qt fetches row by row, else the whole result.
        row_ = PQntuples(result_) == 1 ? 0 : query.at();
    }

    QVariant value(const QSqlQuery& query, int column) const {
        if (result_ && !PQgetisnull(result_, row_, column)) {
            const char* text = PQgetvalue(result_, row_, column);
            if (std::strncmp(text, "\xEF\xBB\xBF", 3) == 0) {
                QStringDecoder decoder(QStringConverter::Utf8,
                                       QStringConverter::Flag::ConvertInitialBom |
                                           QStringConverter::Flag::Stateless);
                QVariant value = query.value(column);
                if (value.metaType() == QMetaType::fromType<QString>())
                    return QString(
                        decoder.decode(QByteArrayView(text, PQgetlength(result_, row_, column))));
                return value;
            }
        }
        return query.value(column);
    }

    // libpq's result holding the current row, and the row's number in it; null where the
    // driver is not PostgreSQL's.
    const PGresult* result() const { return result_; }
    int resultRow() const { return row_; }

  private:
    bool postgres_;
    const PGresult* result_ = nullptr;
    int row_ = 0;
};

FieldType fieldType(QMetaType type);

// The fields of a result as Qt's driver describes them.
QList<FieldDef> fieldsOf(const QSqlRecord& record) {
    QList<FieldDef> fields;
    for (int i = 0; i < record.count(); ++i) {
        const QSqlField field = record.field(i);
        const FieldType type = fieldType(field.metaType());
        const int width = type == FieldType::String && field.length() > 0 ? field.length() : 0;
        fields.append({field.name(), type, width});
    }
    return fields;
}

// SQLite's reason for refusing `sql`, in Qt's words when Qt has some for the step (`what`).
[[noreturn]] void refuseSqlite(const QByteArray& reason, const char* what, const QString& sql) {
    QString text = QString::fromUtf8(reason);
    if (what) text += u' ' + QLatin1String(what);
    throw DbError(QStringLiteral("%1 [statement: %2]").arg(text, sql).toStdString());
}


// Whether SQLite's answer `rc` refuses every statement to come, not just this one's values:
// no right to write, a read-only, full, locked or broken store, a lost file.
bool refusesEverything(int rc) {
    switch (rc & 0xff) {
        case SQLITE_PERM:
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
        case SQLITE_NOMEM:
        case SQLITE_READONLY:
        case SQLITE_INTERRUPT:
        case SQLITE_IOERR:
        case SQLITE_CORRUPT:
        case SQLITE_FULL:
        case SQLITE_CANTOPEN:
        case SQLITE_PROTOCOL:
        case SQLITE_AUTH:
        case SQLITE_NOTADB:
            return true;
        default:
            return false;
    }
}

// One statement prepared on SQLite's handle from UTF-8 text; throws DbError, with SQLite's
// reason, when SQLite refuses it or the text holds more than one statement (as Qt refuses).
sqlite3_stmt* prepareSqlite(sqlite3* sqlite, const QString& sql) {
    const QByteArray text = sql.toUtf8();
    const char* tail = nullptr;
    sqlite3_stmt* statement = nullptr;
    const char* refused = nullptr;
    if (sqlite3_prepare_v2(sqlite, text.constData(), int(text.size()), &statement, &tail) !=
        SQLITE_OK) {
        refused = "Unable to execute statement";
    } else if (tail &&
               !QByteArrayView(tail, text.constData() + text.size() - tail).trimmed().isEmpty()) {
        refused = "Unable to execute multiple statements at a time";
    }
    if (!refused) return statement;
    const QByteArray reason = sqlite3_errmsg(sqlite);
    sqlite3_finalize(statement);
    refuseSqlite(reason, refused, sql);
}

// A statement run on SQLite's own handle and its rows read straight from it, as Qt's driver
// would give them but with every character: Qt hands SQLite the statement as UTF-16 and reads
// texts through sqlite3_column_text16, and SQLite's translations turn U+FFFE and U+FFFF into
// U+FFFD; Qt also builds every value twice (its own row, then ours). Here the statement goes
// as UTF-8 and each text is decoded once from SQLite's UTF-8, a leading U+FEFF kept. Fields
// and values follow Qt's rules: a field's type from its declared type (integer, real, blob,
// boolean, else text), or for an expression from the first row's value; values by storage
// class (integers as qint64, reals as double, blobs as QByteArray, NULL as a null value).
class SqliteRows {
  public:
    SqliteRows(sqlite3* sqlite, const QString& sql)
        : sqlite_(sqlite), sql_(sql), statement_(prepareSqlite(sqlite, sql)) {}
    ~SqliteRows() { sqlite3_finalize(statement_); }
    SqliteRows(const SqliteRows&) = delete;
    SqliteRows& operator=(const SqliteRows&) = delete;

    // To the first row, then to the next; false after the last. The fields are known from
    // the first call on.
    bool step() {
        const int rc = sqlite3_step(statement_);
        if (!stepped_) {
            stepped_ = true;
            readFields(rc);
        }
        if (rc == SQLITE_ROW) {
            heartbeat();
            return true;
        }
        if (rc != SQLITE_DONE) fail("Unable to fetch row");
        return false;
    }
    const QList<FieldDef>& fields() const { return fields_; }
    int columns() const { return int(fields_.size()); }

    RowSet read() {
        RowSet data;
        while (step()) {
            Row row;
            row.reserve(columns());
            for (int i = 0; i < columns(); ++i) row.append(value(i));
            data.rows.append(std::move(row));
        }
        data.fields = fields_;
        return data;
    }

    QVariant value(int i) {
        switch (sqlite3_column_type(statement_, i)) {
            case SQLITE_NULL:
                return {};
            case SQLITE_INTEGER:
                return QVariant(qint64(sqlite3_column_int64(statement_, i)));
            case SQLITE_FLOAT:
                return QVariant(sqlite3_column_double(statement_, i));
            case SQLITE_BLOB: {
                const char* bytes = static_cast<const char*>(sqlite3_column_blob(statement_, i));
                return QVariant(QByteArray(bytes, sqlite3_column_bytes(statement_, i)));
            }
            default:
                return QVariant(decodedText(i));
        }
    }

    // valueText of value(i), and whether it is NULL, without a QVariant where it is text.
    std::pair<QString, bool> text(int i) {
        switch (sqlite3_column_type(statement_, i)) {
            case SQLITE_NULL:
                return {valueText(QVariant()), true};
            case SQLITE_TEXT:
                return {decodedText(i), false};
            default:
                return {valueText(value(i)), false};
        }
    }

    // The same value without a QVariant where it is text or a whole number.
    PacketValue packetValue(int i) {
        PacketValue value;
        switch (sqlite3_column_type(statement_, i)) {
            case SQLITE_NULL:
                break;
            case SQLITE_INTEGER:
                value.kind = PacketValue::Kind::Integer;
                value.integer = sqlite3_column_int64(statement_, i);
                break;
            case SQLITE_TEXT: {
                const char* text = reinterpret_cast<const char*>(sqlite3_column_text(statement_, i));
                value.kind = PacketValue::Kind::Utf8;
                value.utf8 = QByteArrayView(text, sqlite3_column_bytes(statement_, i));
                break;
            }
            default:
                value.kind = PacketValue::Kind::Other;
        }
        return value;
    }

  private:
    // Column `i` read as text: SQLite's UTF-8 decoded once, every character kept.
    QString decodedText(int i) {
        const char* text = reinterpret_cast<const char*>(sqlite3_column_text(statement_, i));
        QString value = decoder_.decode(QByteArrayView(text, sqlite3_column_bytes(statement_, i)));
        if (value.isNull()) value = QStringLiteral("");  // empty, as Qt gives it
        return value;
    }

    static int declaredType(const QByteArray& name) {
        if (name == "integer" || name == "int") return QMetaType::Int;
        if (name == "double" || name == "float" || name == "real" || name.startsWith("numeric"))
            return QMetaType::Double;
        if (name == "blob") return QMetaType::QByteArray;
        if (name == "boolean" || name == "bool") return QMetaType::Bool;
        return QMetaType::QString;
    }
    static int storedType(int storage) {
        switch (storage) {
            case SQLITE_INTEGER: return QMetaType::Int;
            case SQLITE_FLOAT: return QMetaType::Double;
            case SQLITE_BLOB: return QMetaType::QByteArray;
            case SQLITE_TEXT: return QMetaType::QString;
            default: return QMetaType::UnknownType;
        }
    }

    void readFields(int rc) {
        const int count = sqlite3_column_count(statement_);
        for (int i = 0; i < count; ++i) {
            const char* declared = sqlite3_column_decltype(statement_, i);
            const int type = declared && *declared ? declaredType(QByteArray(declared).toLower())
                             : rc == SQLITE_ROW    ? storedType(sqlite3_column_type(statement_, i))
                                                   : QMetaType::UnknownType;
            fields_.append({QString::fromUtf8(sqlite3_column_name(statement_, i)).remove(u'"'),
                            fieldType(QMetaType(type)), 0});
        }
    }

    [[noreturn]] void fail(const char* what) const {
        refuseSqlite(sqlite3_errmsg(sqlite_), what, sql_);
    }

    sqlite3* sqlite_;
    QString sql_;
    sqlite3_stmt* statement_ = nullptr;
    bool stepped_ = false;
    QList<FieldDef> fields_;
    QStringDecoder decoder_{QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom |
                                                        QStringConverter::Flag::Stateless};
};

// Characters, not bytes, of UTF-8 text: every byte that does not continue a sequence.
bool startsCharacter(unsigned char byte) { return (byte & 0xC0) != 0x80; }

// Len(text). SQLite never finds an integer equal to a text, and the host's statements compare
// lengths with quoted numbers (Len(DeptID)='4'), so the count is answered as text. The price:
// a comparison with an unquoted number (Len(x)=4) never matches.
void sqliteLen(sqlite3_context* context, int, sqlite3_value** args) {
    if (sqlite3_value_type(args[0]) == SQLITE_NULL) {
        sqlite3_result_null(context);
        return;
    }
    const unsigned char* text = sqlite3_value_text(args[0]);
    const int bytes = sqlite3_value_bytes(args[0]);
    long long characters = 0;
    for (int i = 0; i < bytes; ++i) characters += startsCharacter(text[i]);
    const std::string count = std::to_string(characters);
    sqlite3_result_text(context, count.c_str(), int(count.size()), SQLITE_TRANSIENT);
}

// Left(text, count): the first `count` characters; the count may come as a quoted number.
void sqliteLeft(sqlite3_context* context, int, sqlite3_value** args) {
    if (sqlite3_value_type(args[0]) == SQLITE_NULL || sqlite3_value_type(args[1]) == SQLITE_NULL) {
        sqlite3_result_null(context);
        return;
    }
    if (sqlite3_value_numeric_type(args[1]) != SQLITE_INTEGER || sqlite3_value_int64(args[1]) < 0) {
        sqlite3_result_error(context, "Left: the count must be a whole number, 0 or more", -1);
        return;
    }
    const sqlite3_int64 count = sqlite3_value_int64(args[1]);
    const unsigned char* text = sqlite3_value_text(args[0]);
    const int bytes = sqlite3_value_bytes(args[0]);
    int end = 0;
    for (sqlite3_int64 characters = 0; end < bytes; ++end) {
        if (startsCharacter(text[end]) && characters++ == count) break;
    }
    sqlite3_result_text(context, reinterpret_cast<const char*>(text), end, SQLITE_TRANSIENT);
}

void addSqliteFunctions(const QSqlDatabase& db) {
    sqlite3* sqlite = sqliteHandle(db);
    if (!sqlite) throw DbError("no SQLite handle");
    const int flags = SQLITE_UTF8 | SQLITE_DETERMINISTIC;
    if (sqlite3_create_function(sqlite, "len", 1, flags, nullptr, sqliteLen, nullptr, nullptr) !=
            SQLITE_OK ||
        sqlite3_create_function(sqlite, "cv_left", 2, flags, nullptr, sqliteLeft, nullptr,
                                nullptr) != SQLITE_OK) {
        throw DbError(std::string("cannot add SQL functions: ") + sqlite3_errmsg(sqlite));
    }
}

// A PostgreSQL session as the host's statements need it. Values are quoted the standard way
// (only quotes doubled), so the session must read literals the standard way: one that read
// backslashes as escapes would let a value end its literal. Len is created, in the first
// schema of the search path, when the server has none. A role that may not create it (since
// PostgreSQL 15 only the owner may create in the public schema) still connects: only the
// statements that need Len (finding and creating departments) are refused then.
void preparePostgres(const QSqlDatabase& db) {
    QSqlQuery query(db);
    const QString standard = "SET standard_conforming_strings = on";
    if (!query.exec(standard)) refuse(query.lastError(), standard);
    const QString missing = "SELECT to_regprocedure('len(text)') IS NULL";
    if (!query.exec(missing) || !query.next()) refuse(query.lastError(), missing);
    if (!query.value(0).toBool()) return;
    const QString create =
        "CREATE OR REPLACE FUNCTION len(text) RETURNS integer LANGUAGE sql IMMUTABLE AS "
        "$$SELECT length($1)$$";
    if (!query.exec(create))
        qWarning("len(text) is missing on the server and cannot be created: %s",
                 qPrintable(query.lastError().text()));
}

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

FieldType fieldType(QMetaType type) {
    switch (type.id()) {
        case QMetaType::Bool:
            return FieldType::Boolean;
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::LongLong:
        case QMetaType::ULongLong:
        case QMetaType::Short:
        case QMetaType::UShort:
            return FieldType::Integer;
        case QMetaType::Double:
        case QMetaType::Float:
            return FieldType::Float;
        case QMetaType::QDate:
        case QMetaType::QDateTime:
            return FieldType::DateTime;
        case QMetaType::QByteArray:
            return FieldType::Blob;
        default:
            return FieldType::String;
    }
}

// The query items of a postgresql:// URL (libpq's parameters, such as
// options=-c search_path=x or sslmode=require) as Qt's connect options. Qt joins them into
// libpq's connection string after turning every ';' into a blank, so a value holding one
// cannot be passed intact and is refused. A server that does not answer gives up after ten
// seconds unless connect_timeout says otherwise.
QString postgresOptions(const QUrl& url) {
    static const QRegularExpression key(QStringLiteral("^[a-z_]+$"));
    QStringList options;
    bool timeout = false;
    for (const auto& [name, value] : QUrlQuery(url).queryItems(QUrl::FullyDecoded)) {
        if (!key.match(name).hasMatch() || value.contains(';'))
            throw DbError("unusable connection parameter in the database address: " +
                          name.toStdString());
        QString quoted = value;
        quoted.replace('\\', QLatin1String("\\\\")).replace('\'', QLatin1String("\\'"));
        options << name + "='" + quoted + '\'';
        timeout = timeout || name == "connect_timeout";
    }
    if (!timeout) options << QStringLiteral("connect_timeout=10");
    return options.join(';');
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

namespace {

// The rows of a statement on SQLite handed to the data-packet writer as they are stepped.
class SqlitePacketRows final : public PacketRowSource {
  public:
    explicit SqlitePacketRows(SqliteRows& rows) : rows_(rows) {}
    bool next() override { return rows_.step(); }
    const QList<FieldDef>& fields() const override { return rows_.fields(); }
    PacketValue value(int field) override { return rows_.packetValue(field); }
    QVariant variant(int field) override { return rows_.value(field); }

  private:
    SqliteRows& rows_;
};

// A statement's rows through Qt's driver (any engine but SQLite's own handle), one at a time,
// each value as Query::open keeps it: null, or the value with PostgreSQL's texts exact.
class DriverRows {
  public:
    DriverRows(Connection* connection, const QString& hostSql)
        : query_(run(connection, hostSql)),
          fields_(fieldsOf(query_.record())),
          exact_(connection->dialect()) {}

    // To the first row, then to the next; false after the last (a failed fetch throws).
    bool next() {
        if (!query_.next()) {
            if (query_.lastError().isValid()) refuse(query_.lastError(), query_.lastQuery());
            return false;
        }
        heartbeat();
        exact_.row(query_);
        return true;
    }
    const QList<FieldDef>& fields() const { return fields_; }
    bool isNull(int field) const { return query_.isNull(field); }
    QVariant value(int field) const {
        return query_.isNull(field) ? QVariant() : exact_.value(query_, field);
    }
    const ExactTexts& exact() const { return exact_; }

  private:
    QSqlQuery query_;
    QList<FieldDef> fields_;
    ExactTexts exact_;
};

// A PostgreSQL statement's rows through Qt's driver, the texts of text columns taken as libpq
// holds them (UTF-8, every character, a leading U+FEFF included) without Qt's QString; every
// other value as Query::open reads it.
class PostgresPacketRows final : public PacketRowSource {
  public:
    PostgresPacketRows(Connection* connection, const QString& hostSql)
        : rows_(connection, hostSql) {}

    bool next() override { return rows_.next(); }
    const QList<FieldDef>& fields() const override { return rows_.fields(); }
    PacketValue value(int field) override {
        PacketValue value;
        const PGresult* result = rows_.exact().result();
        const int row = rows_.exact().resultRow();
        const bool text = result && rows_.fields()[field].type == FieldType::String &&
                          isText(PQftype(result, field));
        if (!text) {
            value.kind = rows_.isNull(field) ? PacketValue::Kind::Null : PacketValue::Kind::Other;
        } else if (!PQgetisnull(result, row, field)) {
            value.kind = PacketValue::Kind::Utf8;
            value.utf8 = QByteArrayView(PQgetvalue(result, row, field),
                                        PQgetlength(result, row, field));
        }
        return value;
    }
    QVariant variant(int field) override { return rows_.value(field); }

  private:
    // text, varchar and char(n), by their fixed type numbers in PostgreSQL's catalogue.
    static bool isText(Oid type) { return type == 25 || type == 1043 || type == 1042; }

    DriverRows rows_;
};

}  // namespace

bool streamQueryPacket(Connection* connection, const QString& hostSql, StagedFile& file) {
    sqlite3* sqlite = connection ? sqliteHandle(connection->database()) : nullptr;
    if (sqlite) {
        SqliteRows rows(sqlite, connection->adapt(hostSql));
        SqlitePacketRows source(rows);
        return streamDataPacket(file, source);
    }
    if (!connection || connection->dialect() != Dialect::PostgreSQL) return false;
    PostgresPacketRows source(connection, hostSql);
    return streamDataPacket(file, source);
}

void TextRows::setFields(const QList<FieldDef>& fields) {
    shape_.fields = fields;
    columns_ = fields.size();
}

TextRows TextRows::of(const RowSet& rows) {
    TextRows texts;
    texts.setFields(rows.fields);
    texts.texts_.reserve(std::size_t(rows.rows.size() * texts.columns_));
    texts.nulls_.reserve(std::size_t(rows.rows.size() * texts.columns_));
    for (const Row& row : rows.rows)
        for (const QVariant& value : row) texts.append(valueText(value), value.isNull());
    return texts;
}

TextRows readTextRows(Connection* connection, const QString& hostSql,
                      const TextRowObserver& onRow, bool keepRows) {
    sqlite3* sqlite = connection ? sqliteHandle(connection->database()) : nullptr;
    if (!sqlite) {
        // The texts of the values Query::open reads, taken row by row from the driver with
        // no dataset in between.
        DriverRows rows(connection, hostSql);
        TextRows texts;
        texts.setFields(rows.fields());
        for (qsizetype row = 0; rows.next(); ++row) {
            for (int i = 0; i < texts.columns_; ++i) {
                const QVariant value = rows.value(i);
                texts.append(valueText(value), value.isNull());
            }
            if (onRow) onRow(texts, row);
            if (!keepRows) texts.dropRows();
        }
        return texts;
    }
    SqliteRows rows(sqlite, connection->adapt(hostSql));
    TextRows texts;
    qsizetype row = 0;
    while (rows.step()) {
        if (row == 0) texts.setFields(rows.fields());  // known from the first step on
        for (int i = 0; i < rows.columns(); ++i) {
            auto [text, null] = rows.text(i);
            texts.append(std::move(text), null);
        }
        if (onRow) onRow(texts, row);
        if (!keepRows) texts.dropRows();
        ++row;
    }
    if (row == 0) texts.setFields(rows.fields());
    return texts;
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
    sqlite3* sqlite = nullptr;
    sqlite3_stmt* statement = nullptr;

    ~Prepared() { sqlite3_finalize(statement); }


    // The handle goes when the connection closes; the statement must not be run after it.
    bool handleAlive() const {
        return sqliteHandle(QSqlDatabase::database(connection, false)) == sqlite;
    }

    void bind(int mark, const QVariant& value) const {
        int rc;
        switch (value.isNull() ? QMetaType::UnknownType : value.typeId()) {
            case QMetaType::UnknownType:
                rc = sqlite3_bind_null(statement, mark);
                break;
            case QMetaType::Bool:
            case QMetaType::Int:
            case QMetaType::UInt:
            case QMetaType::LongLong:
                rc = sqlite3_bind_int64(statement, mark, value.toLongLong());
                break;
            case QMetaType::Double:
                rc = sqlite3_bind_double(statement, mark, value.toDouble());
                break;
            case QMetaType::QByteArray: {
                const QByteArray bytes = value.toByteArray();
                rc = sqlite3_bind_blob64(statement, mark, bytes.constData(),
                                         sqlite3_uint64(bytes.size()), SQLITE_TRANSIENT);
                break;
            }
            default: {
                const QByteArray text = value.toString().toUtf8();
                rc = sqlite3_bind_text64(statement, mark, text.constData(),
                                         sqlite3_uint64(text.size()), SQLITE_TRANSIENT,
                                         SQLITE_UTF8);
            }
        }
        if (rc != SQLITE_OK) refuseSqlite(sqlite3_errmsg(sqlite), nullptr, sql);
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
        prepared_->sqlite = sqlite;
        prepared_->statement = prepareSqlite(sqlite, sql);
        return;
    }
    prepared_->query = QSqlQuery(db);
    prepared_->query.setForwardOnly(true);
    if (!prepared_->query.prepare(sql)) refuse(prepared_->query.lastError(), sql);
}

PreparedStatement::~PreparedStatement() = default;

void PreparedStatement::execute(const QVariantList& values) {
    Prepared& p = *prepared_;
    if (p.statement) {
        if (!p.handleAlive())
            throw DbError("the database is not open [statement: " + p.sql.toStdString() + ']');
        for (qsizetype i = 0; i < values.size(); ++i) p.bind(int(i) + 1, values[i]);
        const int rc = sqlite3_step(p.statement);
        const QByteArray message =
            rc == SQLITE_DONE || rc == SQLITE_ROW ? QByteArray() : QByteArray(sqlite3_errmsg(p.sqlite));
        sqlite3_reset(p.statement);
        sqlite3_clear_bindings(p.statement);
        if (message.isNull()) return;
        if (refusesEverything(rc))
            throw StoreUnavailable(
                QStringLiteral("%1 [statement: %2]").arg(QString::fromUtf8(message), p.sql).toStdString());
        refuseSqlite(message, nullptr, p.sql);
    }
    QSqlQuery& query = p.query;
    for (qsizetype i = 0; i < values.size(); ++i) query.bindValue(int(i), values[i]);
    if (!query.exec()) refuse(query.lastError(), p.sql);
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
    run(connection_, sql_);
}

}  // namespace cv
