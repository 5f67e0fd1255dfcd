#include "TextRows.h"

#include "Database.h"
#include "DriverRows.h"
#include "EngineHandles.h"
#include "SqliteEngine.h"

namespace cv {

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

TextRows readTextRows(Connection* connection, const QString& hostSql, const TextRowObserver& onRow,
                      bool keepRows) {
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

}  // namespace cv
