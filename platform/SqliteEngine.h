// SQLite's own handle under a Qt SQL connection. Qt hands SQLite its statements and bound
// texts as UTF-16 and reads texts through sqlite3_column_text16; SQLite's translations then
// turn U+FFFE and U+FFFF into U+FFFD and take a leading U+FEFF or U+FFFE for a byte order
// mark. Here statements, values and texts go as UTF-8, so every character is kept. Also the
// host dialect's Len and Left, which SQLite lacks. Internal to the platform library.
#pragma once

#include <QByteArray>
#include <QList>
#include <QSqlDatabase>
#include <QString>
#include <QStringDecoder>
#include <QVariant>
#include <utility>

#include "DataPacket.h"
#include "DataSet.h"

struct sqlite3;
struct sqlite3_stmt;

namespace cv {

// Adds Len and cv_left (Left under a name SQLite accepts; Connection::adapt renames the
// calls) to the SQLite connection `db`; throws DbError when it cannot.
void addSqliteFunctions(const QSqlDatabase& db);

// A statement run on SQLite's own handle and its rows read straight from it, as Qt's driver
// would give them but with every character, and without Qt building every value twice (its
// own row, then ours). Each text is decoded once from SQLite's UTF-8, a leading U+FEFF kept.
// Fields and values follow Qt's rules: a field's type from its declared type (integer, real,
// blob, boolean, else text), or for an expression from the first row's value; values by
// storage class (integers as qint64, reals as double, blobs as QByteArray, NULL as a null
// value).
class SqliteRows {
public:
    // Throws DbError, with SQLite's reason, when SQLite refuses `sql` or it holds more than
    // one statement (as Qt refuses).
    SqliteRows(sqlite3* sqlite, const QString& sql);
    ~SqliteRows();
    SqliteRows(const SqliteRows&) = delete;
    SqliteRows& operator=(const SqliteRows&) = delete;

    // To the first row, then to the next; false after the last. The fields are known from
    // the first call on.
    bool step();
    const QList<FieldDef>& fields() const { return fields_; }
    int columns() const { return int(fields_.size()); }

    RowSet read();
    QVariant value(int i);
    // valueText of value(i), and whether it is NULL, without a QVariant where it is text.
    std::pair<QString, bool> text(int i);
    // The same value without a QVariant where it is text or a whole number.
    PacketValue packetValue(int i);

private:
    QString decodedText(int i);
    void readFields(int rc);
    [[noreturn]] void fail(const char* what) const;

    sqlite3* sqlite_;
    QString sql_;
    sqlite3_stmt* statement_ = nullptr;
    bool stepped_ = false;
    QList<FieldDef> fields_;
    QStringDecoder decoder_{QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom |
                                                        QStringConverter::Flag::Stateless};
};

// A statement prepared once on SQLite's handle and executed many times with values bound as
// UTF-8, each execution its own statement.
class SqliteStatement {
public:
    // Throws DbError as SqliteRows does.
    SqliteStatement(sqlite3* sqlite, const QString& sql);
    ~SqliteStatement();
    SqliteStatement(const SqliteStatement&) = delete;
    SqliteStatement& operator=(const SqliteStatement&) = delete;

    sqlite3* handle() const { return sqlite_; }
    // Executes with `values`, one per mark; throws StoreUnavailable when SQLite refuses every
    // statement to come, DbError when it refuses this one.
    void execute(const QVariantList& values);

private:
    void bind(int mark, const QVariant& value) const;

    sqlite3* sqlite_;
    QString sql_;
    sqlite3_stmt* statement_ = nullptr;
};

}  // namespace cv
