#include "ImportWriter.h"

#include "ConnectionBroker.h"
#include "HostServices.h"
#include "StoreImage.h"
#include "StoreSql.h"
#include "TDM_PersonPack.h"

namespace cv {
namespace {

const QStringList PersonColumns = {"PerUUID",   "PerName",   "PerSex",  "PerMemo",
                                   "LoginName", "UPassword", "PerDept", "PrjID"};
const QStringList DeptColumns = {"DeptId", "DeptName", "DeptMemo"};

// An empty text that stays an empty text: a null QString is bound as NULL.
QVariant text(const QString& value) { return value.isNull() ? QStringLiteral("") : value; }

// The fields of `topSql`'s table through the shared query dataset of the working style.
RowSet tableFields(TDM_PersonPack& module, bool networked, const QString& topSql) {
    RowSet fields;
    if (networked) {
        module.CDSTemp.close();
        module.CDSTemp.setCommandText(topSql);
        module.CDSTemp.open();
        fields.fields = module.CDSTemp.fields();
        module.CDSTemp.close();
    } else {
        module.dstShare.close();
        module.dstShare.setCommandText(topSql);
        module.dstShare.open();
        fields.fields = module.dstShare.data().fields;
        module.dstShare.close();
    }
    return fields;
}

// The host's statement with marks for the values: "INSERT INTO T(a, b) VALUES(?, ?)".
QString insertSql(const QString& table, const QStringList& columns) {
    return QStringLiteral("INSERT INTO %1(%2) VALUES(%3)")
        .arg(table, columns.join(QStringLiteral(", ")),
             QStringList(columns.size(), QStringLiteral("?")).join(QStringLiteral(", ")));
}

const QStringList& columnsOf(ImportWrite::Table table) {
    return table == ImportWrite::Table::Person ? PersonColumns : DeptColumns;
}

}  // namespace

ImportWrite ImportWrite::person(const TCVPersonInfo& p) {
    // PrjID goes as the text '0', as the host's statement writes it; the store reads a number.
    return {Table::Person,
            {text(p.PerUUID), text(p.PerName), text(p.PerSex), text(p.PerMemo), text(p.LoginName),
             text(p.UPassword), text(p.PerDept), QStringLiteral("0")},
            -1};
}

ImportWrite ImportWrite::dept(const QString& code, const QString& name) {
    return {Table::Dept, {text(code), text(name), QStringLiteral("")}, -1};
}

ImportWriter::ImportWriter(TDM_PersonPack& module) : networked_(host::workingStyle() == 1) {
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
        table->fields = tableFields(module, networked_, table->topSql);
        const auto which =
            table == &people_ ? ImportWrite::Table::Person : ImportWrite::Table::Dept;
        if (networked_) {
            table->number = server_->table(table->provider, table->topSql, table->fields.fields);
        } else {
            const QString name =
                table == &people_ ? QStringLiteral("CV_PersonInfo") : QStringLiteral("CV_DeptInfo");
            table->number = local_->addStatement(insertSql(name, columnsOf(which)));
        }
    }
}

ImportWriter::~ImportWriter() = default;

const ImportWriter::Table& ImportWriter::table(ImportWrite::Table which) const {
    return which == ImportWrite::Table::Person ? people_ : depts_;
}

void ImportWriter::begin(const WindowWait& wait) {
    if (networked_) {
        server_->begin(wait);
    } else {
        local_->begin(wait);
    }
}

bool ImportWriter::inWindow() const {
    return networked_ ? server_->inWindow() : local_->inWindow();
}

RowSet ImportWriter::query(const QString& sql) {
    return networked_ ? server_->fetch(QStringLiteral("DspTemp"), sql) : local_->query(sql);
}

qsizetype ImportWriter::apply(std::span<const ImportWrite> writes, QString* refusal,
                              const std::function<void()>& alive) {
    if (!networked_) {
        std::vector<WindowInsert> inserts;
        inserts.reserve(writes.size());
        for (const ImportWrite& write : writes)
            inserts.push_back({table(write.table).number, write.values, write.keep});
        const qsizetype done = local_->apply(inserts, refusal, alive);
        if (done < qsizetype(writes.size()) && refusal)
            *refusal = explain(writes[std::size_t(done)], *refusal);
        return done;
    }
    // The records the client datasets would append: the table's fields, those named set
    // (converted to the field's type, as setting a field does), the others null. A value
    // that is not of its field's type is refused here, before the server sees the record.
    std::vector<WindowRecord> records;
    records.reserve(writes.size());
    QString unfit;
    for (const ImportWrite& write : writes) {
        const Table& t = table(write.table);
        const QStringList& columns = columnsOf(write.table);
        WindowRecord record{t.number, Row(t.fields.fields.size()), write.keep};
        for (qsizetype i = 0; i < columns.size() && unfit.isEmpty(); ++i) {
            const int field = t.fields.indexOf(columns[i]);
            if (field < 0) {
                unfit = QStringLiteral("表中没有字段 %1").arg(columns[i]);
                break;
            }
            const auto value = convertValue(t.fields.fields[field].type, write.values[i]);
            if (!value) {
                unfit = QStringLiteral("%1 的值不是该字段的类型").arg(columns[i]);
                break;
            }
            record.row[field] = *value;
        }
        if (!unfit.isEmpty()) break;
        records.push_back(std::move(record));
    }
    const qsizetype done = server_->apply(records, refusal, alive);
    if (done < qsizetype(records.size()) && refusal)
        *refusal = explain(writes[std::size_t(done)], *refusal);
    if (done == qsizetype(records.size()) && !unfit.isEmpty() && refusal) *refusal = unfit;
    return done;
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

QString ImportWriter::explain(const ImportWrite& write, const QString& refusal) const {
    const Table& t = table(write.table);
    const QStringList& columns = columnsOf(write.table);
    QStringList tooLong;
    for (qsizetype i = 0; i < columns.size(); ++i) {
        const int field = t.fields.indexOf(columns[i]);
        const int width = field < 0 ? 0 : t.fields.fields[field].width;
        const qsizetype length = StoreImage::characters(write.values[i].toString());
        if (width > 0 && length > width)
            tooLong << QStringLiteral("%1 超过字段长度 (%2 个字符, 最多 %3)")
                           .arg(columns[i])
                           .arg(length)
                           .arg(width);
    }
    if (!tooLong.isEmpty()) return tooLong.join(QStringLiteral(", "));
    return QStringLiteral("数据库拒绝保存: ") + refusal;
}

}  // namespace cv
