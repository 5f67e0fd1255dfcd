// The writes of an import in the current working style, window by window: locally on the
// host's connection (WindowedWriter), networked through the application server, which applies
// each window's records as one apply (ServerWindows). People and departments are stored as
// InsertPerson and ResolveDeptPath store them, with bound values.
//
// A write refused for its values answers the store's reason, which explain() turns into plain
// words. A store that refuses everything (or stops answering) is not a refusal: the calls throw
// StoreUnavailable then, and the window must be rolled back.
#pragma once

#include <QString>
#include <QStringList>
#include <memory>
#include <span>

#include "Database.h"
#include "TCVPersonInfo.h"
#include "WindowedWriter.h"

namespace cv {

class TDM_PersonPack;
class ServerWindows;

struct ImportWrite {
    enum class Table { Person, Dept };
    Table table = Table::Person;
    QVariantList values;  // by the table's columns, as person() and dept() give them
    int keep = -1;        // as WindowInsert::keep

    // The person as InsertPerson stores it (PrjID 0, an empty text for each empty field).
    static ImportWrite person(const TCVPersonInfo& person);
    // A department with an empty DeptMemo, as ResolveDeptPath stores it.
    static ImportWrite dept(const QString& code, const QString& name);
};

class ImportWriter {
public:
    // Prepares the writes in the current working style. Throws DbError when the store
    // refuses to prepare them.
    explicit ImportWriter(TDM_PersonPack& module);
    ~ImportWriter();
    ImportWriter(const ImportWriter&) = delete;
    ImportWriter& operator=(const ImportWriter&) = delete;

    void begin(const WindowWait& wait);
    bool inWindow() const;
    // The rows of a statement inside the window, through the shared query dataset's way.
    RowSet query(const QString& sql);
    // As WindowedWriter::apply; the refusal in plain words where the store's are technical:
    // each value longer than its column ("LoginName 超过字段长度 (51 个字符, 最多 50)"), else
    // "数据库拒绝保存: " and the store's own reason.
    qsizetype apply(std::span<const ImportWrite> writes, QString* refusal,
                    const std::function<void()>& alive = {});
    void rollbackTo(int keep);
    void commit();
    void rollback();
    WindowedWriter::Costs costs() const;

private:
    QString explain(const ImportWrite& write, const QString& refusal) const;

    struct Table {
        QString topSql;    // "Select Top 1 * From ...": the table's fields, as the store answers
        QString provider;  // networked
        RowSet fields;
        int number = 0;  // its statement (local) or registered table (networked)
    };
    const Table& table(ImportWrite::Table which) const;

    bool networked_;
    Table people_;
    Table depts_;
    std::unique_ptr<WindowedWriter> local_;
    std::unique_ptr<ServerWindows> server_;
};

}  // namespace cv
