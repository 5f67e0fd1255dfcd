#include "SqliteEngine.h"

#include <sqlite3.h>

#include <string>

#include "EngineHandles.h"
#include "Heartbeat.h"

namespace cv {
namespace {

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

int declaredType(const QByteArray& name) {
    if (name == "integer" || name == "int") return QMetaType::Int;
    if (name == "double" || name == "float" || name == "real" || name.startsWith("numeric"))
        return QMetaType::Double;
    if (name == "blob") return QMetaType::QByteArray;
    if (name == "boolean" || name == "bool") return QMetaType::Bool;
    return QMetaType::QString;
}

int storedType(int storage) {
    switch (storage) {
        case SQLITE_INTEGER:
            return QMetaType::Int;
        case SQLITE_FLOAT:
            return QMetaType::Double;
        case SQLITE_BLOB:
            return QMetaType::QByteArray;
        case SQLITE_TEXT:
            return QMetaType::QString;
        default:
            return QMetaType::UnknownType;
    }
}

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

}  // namespace

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

SqliteRows::SqliteRows(sqlite3* sqlite, const QString& sql)
    : sqlite_(sqlite), sql_(sql), statement_(prepareSqlite(sqlite, sql)) {}

SqliteRows::~SqliteRows() { sqlite3_finalize(statement_); }

bool SqliteRows::step() {
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

RowSet SqliteRows::read() {
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

QVariant SqliteRows::value(int i) {
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

std::pair<QString, bool> SqliteRows::text(int i) {
    switch (sqlite3_column_type(statement_, i)) {
        case SQLITE_NULL:
            return {valueText(QVariant()), true};
        case SQLITE_TEXT:
            return {decodedText(i), false};
        default:
            return {valueText(value(i)), false};
    }
}

PacketValue SqliteRows::packetValue(int i) {
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

// Column `i` read as text: SQLite's UTF-8 decoded once, every character kept.
QString SqliteRows::decodedText(int i) {
    const char* text = reinterpret_cast<const char*>(sqlite3_column_text(statement_, i));
    QString value = decoder_.decode(QByteArrayView(text, sqlite3_column_bytes(statement_, i)));
    if (value.isNull()) value = QStringLiteral("");  // empty, as Qt gives it
    return value;
}

void SqliteRows::readFields(int rc) {
    const int count = sqlite3_column_count(statement_);
    for (int i = 0; i < count; ++i) {
        const char* declared = sqlite3_column_decltype(statement_, i);
        const int type = declared && *declared ? declaredType(QByteArray(declared).toLower())
                         : rc == SQLITE_ROW    ? storedType(sqlite3_column_type(statement_, i))
                                               : QMetaType::UnknownType;
        fields_.append({QString::fromUtf8(sqlite3_column_name(statement_, i)).remove(u'"'),
                        fieldTypeOf(QMetaType(type)), 0});
    }
}

void SqliteRows::fail(const char* what) const { refuseSqlite(sqlite3_errmsg(sqlite_), what, sql_); }

SqliteStatement::SqliteStatement(sqlite3* sqlite, const QString& sql)
    : sqlite_(sqlite), sql_(sql), statement_(prepareSqlite(sqlite, sql)) {}

SqliteStatement::~SqliteStatement() { sqlite3_finalize(statement_); }

void SqliteStatement::execute(const QVariantList& values) {
    for (qsizetype i = 0; i < values.size(); ++i) bind(int(i) + 1, values[i]);
    const int rc = sqlite3_step(statement_);
    const QByteArray message =
        rc == SQLITE_DONE || rc == SQLITE_ROW ? QByteArray() : QByteArray(sqlite3_errmsg(sqlite_));
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
    if (message.isNull()) return;
    if (refusesEverything(rc))
        throw StoreUnavailable(QStringLiteral("%1 [statement: %2]")
                                   .arg(QString::fromUtf8(message), sql_)
                                   .toStdString());
    refuseSqlite(message, nullptr, sql_);
}

void SqliteStatement::bind(int mark, const QVariant& value) const {
    int rc;
    switch (value.isNull() ? QMetaType::UnknownType : value.typeId()) {
        case QMetaType::UnknownType:
            rc = sqlite3_bind_null(statement_, mark);
            break;
        case QMetaType::Bool:
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::LongLong:
            rc = sqlite3_bind_int64(statement_, mark, value.toLongLong());
            break;
        case QMetaType::Double:
            rc = sqlite3_bind_double(statement_, mark, value.toDouble());
            break;
        case QMetaType::QByteArray: {
            const QByteArray bytes = value.toByteArray();
            rc = sqlite3_bind_blob64(statement_, mark, bytes.constData(),
                                     sqlite3_uint64(bytes.size()), SQLITE_TRANSIENT);
            break;
        }
        default: {
            const QByteArray text = value.toString().toUtf8();
            rc = sqlite3_bind_text64(statement_, mark, text.constData(),
                                     sqlite3_uint64(text.size()), SQLITE_TRANSIENT, SQLITE_UTF8);
        }
    }
    if (rc != SQLITE_OK) refuseSqlite(sqlite3_errmsg(sqlite_), nullptr, sql_);
}

}  // namespace cv
