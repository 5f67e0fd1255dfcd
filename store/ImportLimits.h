// What an import writes, and what the store will take of it, known before anything is sent:
// the shape of a person's and a department's row as InsertPerson and ResolveDeptPath store
// them, the tables' fields as the store answers them (names, widths), and whether the store
// holds texts to those widths. A plan that writes nothing reads them too, so that it foretells
// the refusals the import would meet.
#pragma once

#include <QString>
#include <QStringList>
#include <QVariantList>
#include <vector>

#include "DataSet.h"
#include "TCVPersonInfo.h"

namespace cv {

class TDM_PersonPack;

struct ImportWrite {
    enum class Table { Person, Dept };
    Table table = Table::Person;
    QVariantList values;  // by the table's columns (columns()), as person() and dept() give them
    int keep = -1;        // as WindowInsert::keep

    // The person as InsertPerson stores it (PrjID 0, an empty text for each empty field).
    static ImportWrite person(const TCVPersonInfo& person);
    // Where each of a person's values goes among them.
    enum PersonColumn : int {
        PerUUIDColumn,
        PerNameColumn,
        PerSexColumn,
        PerMemoColumn,
        LoginNameColumn,
        UPasswordColumn,
        PerDeptColumn,
        PrjIDColumn,
        PersonColumnCount
    };
    // A department with an empty DeptMemo, as ResolveDeptPath stores it.
    static ImportWrite dept(const QString& code, const QString& name);
    // The columns of a table's writes, in the order of their values.
    static const QStringList& columns(Table table);
};

class ImportLimits {
public:
    // Asks the store in the current working style ("Select Top 1 * From ..." through the
    // shared query dataset). Throws DbError.
    static ImportLimits read(TDM_PersonPack& module);

    // The fields of a table as the store answers them.
    const RowSet& fields(ImportWrite::Table table) const {
        return table == ImportWrite::Table::Person ? people_ : depts_;
    }

    // The store's refusal of `write` when it can be told before sending it, in the words a
    // refusal of it comes in (explain): on PostgreSQL, which holds texts to their columns'
    // widths and cannot take U+0000, each value longer than its column, or the U+0000. Empty
    // when the write should be taken (SQLite stores a text of any length).
    QString predictRefusal(const ImportWrite& write) const;
    // Whether predictRefusal can refuse anything (a planner asks it nothing otherwise).
    bool refusesAny() const { return widthsHeld_; }
    // Whether predictRefusal surely finds nothing to refuse in `value`, sent for the person
    // column `column` (in the order of ImportWrite::person): it has no more units than the
    // column's width and no U+0000. Cheaper than building the write; false asks for it.
    // With `more`: of `value` followed by that many characters that are not U+0000 (a drawn
    // login name: the package's and "_1234").
    bool personValueFits(int column, QStringView value, qsizetype more = 0) const;
    // The same of every value of `person` that the import stores as the package gives it:
    // all but the login name and the department code.
    bool packageValuesFit(const TCVPersonInfo& person) const;
    // Why `write` was refused, in plain words where the store's are technical: each value
    // longer than its column ("LoginName 超过字段长度 (51 个字符, 最多 50)"), else
    // "数据库拒绝保存: " and the store's own `refusal`.
    QString explain(const ImportWrite& write, const QString& refusal) const;

private:
    // Each value longer than its column, in words; empty when every one fits.
    QString overWidth(const ImportWrite& write) const;

    RowSet people_;
    RowSet depts_;
    // The width of each column of a table's writes (0: none known), in their order.
    std::vector<int> personWidths_;
    std::vector<int> deptWidths_;
    bool widthsHeld_ = false;
};

}  // namespace cv
