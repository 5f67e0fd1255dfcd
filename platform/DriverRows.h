// Statements run through Qt's driver, for every engine and for what SQLite's own handle does
// not run. Internal to the platform library.
#pragma once

#include <QList>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QString>
#include <QVariant>

#include "DataSet.h"
#include "Heartbeat.h"
#include "PostgresEngine.h"

namespace cv {

class Connection;

// Throws DbError with the driver's reason and the statement.
[[noreturn]] void refuseStatement(const QSqlError& error, const QString& sql);

// `hostSql` adapted to the connection's engine and executed forward-only; throws DbError when
// there is no open connection or the statement is refused.
QSqlQuery runStatement(Connection* connection, const QString& hostSql);

// The fields of a result as Qt's driver describes them.
QList<FieldDef> fieldsOf(const QSqlRecord& record);

// A statement's rows through Qt's driver (any engine but SQLite's own handle), one at a time,
// each value as Query::open keeps it: null, or the value with PostgreSQL's texts exact.
class DriverRows {
public:
    DriverRows(Connection* connection, const QString& hostSql);

    // To the first row, then to the next; false after the last (a failed fetch throws).
    bool next() {
        if (!query_.next()) {
            if (query_.lastError().isValid())
                refuseStatement(query_.lastError(), query_.lastQuery());
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

}  // namespace cv
