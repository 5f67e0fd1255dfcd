// Field definitions and rows: what a query returns and what a client dataset holds.
// A value is a QVariant; SQL NULL is a null QVariant and stays distinct from an empty text.
#pragma once

#include <QList>
#include <QString>
#include <QVariant>
#include <optional>
#include <stdexcept>

namespace cv {

class DbError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The store refused for a reason that is not about the values of one statement: no right to
// write, a read-only or full store, a lost connection, a lock not given in time. Every
// statement after it would be refused as well.
class StoreUnavailable : public DbError {
public:
    using DbError::DbError;
};

enum class FieldType { String, Integer, Float, Boolean, DateTime, Blob };

struct FieldDef {
    QString name;
    FieldType type = FieldType::String;
    int width = 0;  // characters, for strings; 0 when the source gave none
    bool operator==(const FieldDef&) const = default;
};

using Row = QList<QVariant>;

struct RowSet {
    QList<FieldDef> fields;
    QList<Row> rows;

    // Position of the field called `name`, letter case ignored; -1 when there is none.
    int indexOf(const QString& name) const;
};

// The type of a field whose values Qt holds as `type` (as Qt's drivers describe a column).
FieldType fieldTypeOf(QMetaType type);

// The text of a value as the library reads it: a null value reads as the empty text.
QString valueText(const QVariant& value);

// `value` as a field of `type` holds it: QString, qlonglong, double, bool, QDateTime or QByteArray
// (read from text as ISO 8601 and hexadecimal). A null stays null; nothing when the value does
// not read as that type.
std::optional<QVariant> convertValue(FieldType type, const QVariant& value);

}  // namespace cv
