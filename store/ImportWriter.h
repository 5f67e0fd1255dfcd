// The writes of an import in the current working style, window by window: locally on the
// host's connection (WindowedWriter), networked through the application server, which applies
// each window's records as one apply (ServerWindows). People and departments are stored as
// InsertPerson and ResolveDeptPath store them, with bound values.
//
// A write refused for its values answers the store's reason, in plain words where the store's
// are technical (ImportLimits::explain). A store that refuses everything (or stops answering) is
// not a refusal: the calls throw StoreUnavailable then, and the window must be rolled back.
#pragma once

#include <QString>
#include <QStringList>
#include <memory>
#include <span>

#include "ConnectionBroker.h"
#include "Database.h"
#include "ImportLimits.h"
#include "TCVPersonInfo.h"
#include "WindowedWriter.h"

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

    // As WindowedWriter::noteStore, open and go, in the current working style. A refusal
    // comes in plain words where the store's are technical: each value longer than its column
    // ("LoginName 超过字段长度 (51 个字符, 最多 50)"), else "数据库拒绝保存: " and the store's
    // own reason.
    void noteStore();
    WindowAnswer open(const std::function<QStringList()>& checks, WindowRequest::Checks when,
                      std::span<const ImportWrite> writes, bool commit, const WindowWait& wait,
                      const std::function<void()>& alive = {});
    WindowAnswer go(std::span<const ImportWrite> writes, bool commit,
                    const std::function<void()>& alive = {});
    bool inWindow() const;
    bool ownerInTransaction() const;
    // The rows of a statement inside the window.
    RowSet query(const QString& sql);
    // What the store will take, read when the writer was made.
    const ImportLimits& limits() const { return limits_; }

    void rollbackTo(int keep);
    void commit();
    void rollback();
    WindowedWriter::Costs costs() const;

private:
    // The writes as the local style's inserts, or as the networked style's records; a value
    // that does not fit its field's type is refused before the server sees the record, with
    // `unfit` saying why, and the writes after it kept back.
    std::vector<WindowInsert> inserts(std::span<const ImportWrite> writes) const;
    std::vector<WindowRecord> records(std::span<const ImportWrite> writes, QString& unfit) const;
    void explainAnswer(std::span<const ImportWrite> writes, qsizetype sent, const QString& unfit,
                       WindowAnswer& answer) const;
    // The writes sent in the working style (networked: the records that fit, and whether all
    // did), the answer explained in plain words.
    using ToServer = std::function<WindowAnswer(std::span<const WindowRecord>, bool allFit)>;
    using ToStore = std::function<WindowAnswer(std::span<const WindowInsert>)>;
    WindowAnswer send(std::span<const ImportWrite> writes, const ToServer& toServer,
                      const ToStore& toStore);

    struct Table {
        QString topSql;    // "Select Top 1 * From ...": the table's fields, as the store answers
        QString provider;  // networked
        RowSet fields;
        int number = 0;  // its statement (local) or registered table (networked)
    };
    const Table& table(ImportWrite::Table which) const;

    bool networked_;
    ImportLimits limits_;
    Table people_;
    Table depts_;
    std::unique_ptr<WindowedWriter> local_;
    std::unique_ptr<ServerWindows> server_;
};

}  // namespace cv
