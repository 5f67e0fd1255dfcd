#include "ImportWriter.h"

#include "ConnectionBroker.h"
#include "HostServices.h"
#include "StoreImage.h"
#include "StoreSql.h"
#include "TDM_PersonPack.h"

namespace cv {
namespace {

// The host's statement with marks for the values: "INSERT INTO T(a, b) VALUES(?, ?)".
QString insertSql(const QString& table, const QStringList& columns) {
    return QStringLiteral("INSERT INTO %1(%2) VALUES(%3)")
        .arg(table, columns.join(QStringLiteral(", ")),
             QStringList(columns.size(), QStringLiteral("?")).join(QStringLiteral(", ")));
}

}  // namespace

ImportWriter::ImportWriter(TDM_PersonPack& module)
    : networked_(host::workingStyle() == 1), limits_(ImportLimits::read(module)) {
    people_.topSql = storesql::topPerson();
    people_.provider = QStringLiteral("DspPerson");
    depts_.topSql = storesql::topDept();
    depts_.provider = QStringLiteral("DspSelect");
    if (networked_) {
        ConnectionBroker* broker = module.ConnectionBroker();
        if (!broker) throw StoreUnavailable("no application server");
        server_ = broker->importWindows();
    } else {
        Connection* connection = module.BaseConnection();
        if (!connection) throw StoreUnavailable("no database connection");
        local_ = std::make_unique<WindowedWriter>(*connection, QStringList{});
    }
    for (Table* table : {&people_, &depts_}) {
        const auto which =
            table == &people_ ? ImportWrite::Table::Person : ImportWrite::Table::Dept;
        table->fields = limits_.fields(which);
        if (networked_) {
            table->number = server_->table(table->provider, table->topSql, table->fields.fields);
        } else {
            const QString name =
                table == &people_ ? QStringLiteral("CV_PersonInfo") : QStringLiteral("CV_DeptInfo");
            table->number = local_->addStatement(insertSql(name, ImportWrite::columns(which)));
        }
    }
}

ImportWriter::~ImportWriter() = default;

bool ImportWriter::ownerInTransaction() const {
    return networked_ ? server_->ownerInTransaction() : local_->ownerInTransaction();
}

const ImportWriter::Table& ImportWriter::table(ImportWrite::Table which) const {
    return which == ImportWrite::Table::Person ? people_ : depts_;
}

void ImportWriter::noteStore() {
    if (networked_) {
        server_->noteStore();
    } else {
        local_->noteStore();
    }
}

bool ImportWriter::inWindow() const {
    return networked_ ? server_->inWindow() : local_->inWindow();
}

RowSet ImportWriter::query(const QString& sql) {
    return networked_ ? server_->fetch(QStringLiteral("DspTemp"), sql) : local_->query(sql);
}

std::vector<WindowInsert> ImportWriter::inserts(std::span<const ImportWrite> writes) const {
    std::vector<WindowInsert> inserts;
    inserts.reserve(writes.size());
    for (const ImportWrite& write : writes)
        inserts.push_back({table(write.table).number, write.values, write.keep});
    return inserts;
}

// The records the client datasets would append: the table's fields, those named set
// (converted to the field's type, as setting a field does), the others null.
std::vector<WindowRecord> ImportWriter::records(std::span<const ImportWrite> writes,
                                                QString& unfit) const {
    std::vector<WindowRecord> records;
    records.reserve(writes.size());
    for (const ImportWrite& write : writes) {
        const Table& t = table(write.table);
        const QStringList& columns = ImportWrite::columns(write.table);
        WindowRecord record{t.number, Row(t.fields.fields.size()), write.keep};
        for (qsizetype i = 0; i < columns.size() && unfit.isEmpty(); ++i) {
            const int field = t.fields.indexOf(columns[i]);
            if (field < 0) {
                unfit = QStringLiteral("表中没有字段 %1").arg(columns[i]);
            } else if (const auto value =
                           convertValue(t.fields.fields[field].type, write.values[i])) {
                record.row[field] = *value;
            } else {
                unfit = QStringLiteral("%1 的值不是该字段的类型").arg(columns[i]);
            }
        }
        if (!unfit.isEmpty()) break;
        records.push_back(std::move(record));
    }
    return records;
}

void ImportWriter::explainAnswer(std::span<const ImportWrite> writes, qsizetype sent,
                                 const QString& unfit, WindowAnswer& answer) const {
    if (!answer.planHeld || answer.stored >= qsizetype(writes.size())) return;
    if (answer.stored == sent && !unfit.isEmpty()) {
        answer.refusal = unfit;
        return;
    }
    answer.refusal = limits_.explain(writes[std::size_t(answer.stored)], answer.refusal);
}

WindowAnswer ImportWriter::send(std::span<const ImportWrite> writes, const ToServer& toServer,
                                const ToStore& toStore) {
    WindowAnswer answer;
    QString unfit;
    qsizetype sent = qsizetype(writes.size());
    if (networked_) {
        const std::vector<WindowRecord> prepared = records(writes, unfit);
        sent = qsizetype(prepared.size());
        answer = toServer(prepared, unfit.isEmpty());
    } else {
        answer = toStore(inserts(writes));
    }
    explainAnswer(writes, sent, unfit, answer);
    return answer;
}

WindowAnswer ImportWriter::open(const std::function<QStringList()>& checks,
                                WindowRequest::Checks when, std::span<const ImportWrite> writes,
                                bool commit, const WindowWait& wait,
                                const std::function<void()>& alive) {
    return send(
        writes,
        [&](std::span<const WindowRecord> records, bool fit) {
            return server_->open(checks, when, records, commit && fit, wait, alive);
        },
        [&](std::span<const WindowInsert> inserts) {
            return local_->open({checks, when, inserts, commit}, wait, alive);
        });
}

WindowAnswer ImportWriter::go(std::span<const ImportWrite> writes, bool commit,
                              const std::function<void()>& alive) {
    return send(
        writes,
        [&](std::span<const WindowRecord> records, bool fit) {
            return server_->go(records, commit && fit, alive);
        },
        [&](std::span<const WindowInsert> inserts) { return local_->go(inserts, commit, alive); });
}

void ImportWriter::rollbackTo(int keep) {
    if (networked_) {
        server_->rollbackTo(keep);
    } else {
        local_->rollbackTo(keep);
    }
}

void ImportWriter::commit() {
    if (networked_) {
        server_->commit();
    } else {
        local_->commit();
    }
}

void ImportWriter::rollback() {
    if (networked_) {
        server_->rollback();
    } else {
        local_->rollback();
    }
}

WindowedWriter::Costs ImportWriter::costs() const {
    return networked_ ? server_->costs() : local_->costs();
}

}  // namespace cv
