#include "DriverRows.h"

#include <QSqlField>

#include "Database.h"

namespace cv {

void refuseStatement(const QSqlError& error, const QString& sql) {
    throw DbError(QStringLiteral("%1 [statement: %2]").arg(error.text(), sql).toStdString());
}

QSqlQuery runStatement(Connection* connection, const QString& hostSql) {
    if (!connection) throw DbError("no connection");
    const QString sql = connection->adapt(hostSql);
    const QSqlDatabase db = connection->database();
    if (!db.isOpen())
        throw DbError("the database is not open [statement: " + sql.toStdString() + ']');
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.exec(sql)) refuseStatement(query.lastError(), sql);
    return query;
}

QList<FieldDef> fieldsOf(const QSqlRecord& record) {
    QList<FieldDef> fields;
    for (int i = 0; i < record.count(); ++i) {
        const QSqlField field = record.field(i);
        const FieldType type = fieldTypeOf(field.metaType());
        const int width = type == FieldType::String && field.length() > 0 ? field.length() : 0;
        fields.append({field.name(), type, width});
    }
    return fields;
}

DriverRows::DriverRows(Connection* connection, const QString& hostSql)
    : query_(runStatement(connection, hostSql)),
      fields_(fieldsOf(query_.record())),
      exact_(connection->dialect()) {}

}  // namespace cv
