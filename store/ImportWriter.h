// The writes of an import: people and new departments, each stored by its own statement or
// apply (no transaction spans them, so whatever is stored stays stored when a later write
// fails), prepared once and sent with bound values. Locally the inserts run on the host's
// connection; networked each is a one-record apply through the application server, whose
// inserts are prepared once as well.
//
// A refused write answers the store's reason. A store that stops answering is not a
// refusal: the write throws DbError then.
#pragma once

#include <QString>
#include <QStringList>
#include <memory>

#include "Database.h"
#include "TCVPersonInfo.h"

namespace cv {

class TDM_PersonPack;

class ImportWriter {
public:
    // Prepares the writes in the current working style. Throws DbError when the store
    // refuses to prepare them.
    explicit ImportWriter(TDM_PersonPack& module);
    ~ImportWriter();
    ImportWriter(const ImportWriter&) = delete;
    ImportWriter& operator=(const ImportWriter&) = delete;

    // Stores the person as InsertPerson does (PrjID 0, an empty text for each empty field).
    // Empty when stored; otherwise why not, in plain words: each value longer than its
    // column ("LoginName 超过字段长度 (51 个字符, 最多 50)"), or else the store's own words.
    QString insertPerson(const TCVPersonInfo& person);
    // Stores a department with an empty DeptMemo, as ResolveDeptPath does; answers as above.
    QString insertDept(const QString& code, const QString& name);

private:
    struct Table {
        QString topSql;    // "Select Top 1 * From ...": how the networked style learns the fields
        QString provider;  // networked
        RowSet fields;     // the table's fields as the store answers them (names, widths)
        std::unique_ptr<PreparedStatement> insert;  // local
    };
    QString write(Table& table, const QStringList& columns, const QVariantList& values);

    TDM_PersonPack& module_;
    bool networked_;
    Table people_;
    Table depts_;
};

}  // namespace cv
