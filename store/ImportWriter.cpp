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

}  // namespace

ImportWriter::ImportWriter(TDM_PersonPack& module)
    : module_(module), networked_(host::workingStyle() == 1) {
    people_.topSql = storesql::topPerson();
    people_.provider = QStringLiteral("DspPerson");
    depts_.topSql = storesql::topDept();
    depts_.provider = QStringLiteral("DspSelect");
    for (Table* table : {&people_, &depts_}) {
        table->fields = tableFields(module, networked_, table->topSql);
        if (!networked_) {
            const QStringList& columns = table == &people_ ? PersonColumns : DeptColumns;
            const QString name = table == &people_ ? QStringLiteral("CV_PersonInfo")
                                                   : QStringLiteral("CV_DeptInfo");
            table->insert = std::make_unique<PreparedStatement>(module.BaseConnection(),
                                                                insertSql(name, columns));
        }
    }
}

ImportWriter::~ImportWriter() = default;

QString ImportWriter::insertPerson(const TCVPersonInfo& p) {
    // PrjID goes as the text '0', as the host's statement writes it; the store reads a number.
    return write(people_, PersonColumns,
                 {text(p.PerUUID), text(p.PerName), text(p.PerSex), text(p.PerMemo),
                  text(p.LoginName), text(p.UPassword), text(p.PerDept), QStringLiteral("0")});
}

QString ImportWriter::insertDept(const QString& code, const QString& name) {
    return write(depts_, DeptColumns, {text(code), text(name), QStringLiteral("")});
}

QString ImportWriter::write(Table& table, const QStringList& columns,
                            const QVariantList& values) {
    QString refusal;
    if (networked_) {
        // The record the client dataset would append: the table's fields, those named set
        // (converted to the field's type, as setting a field does), the others null.
        RowSet record;
        record.fields = table.fields.fields;
        Row row(record.fields.size());
        for (qsizetype i = 0; i < columns.size(); ++i) {
            const int field = record.indexOf(columns[i]);
            if (field < 0) return QStringLiteral("表中没有字段 %1").arg(columns[i]);
            const auto value = convertValue(record.fields[field].type, values[i]);
            if (!value) return QStringLiteral("%1 的值不是该字段的类型").arg(columns[i]);
            row[field] = *value;
        }
        record.rows.append(row);
        ConnectionBroker* broker = module_.ConnectionBroker();
        if (!broker) throw DbError("no application server");
        QStringList refusals;
        if (broker->applyInserts(table.provider, table.topSql, record, -1, &refusals) == 0)
            return {};
        refusal = refusals.value(0);
        if (!broker->connected()) throw DbError("the application server stopped answering");
    } else {
        try {
            table.insert->execute(values);
            return {};
        } catch (const DbError& e) {
            refusal = QString::fromStdString(e.what());
        }
        Connection* connection = module_.BaseConnection();
        if (!connection || !connection->connected())
            throw DbError("the database stopped answering");
    }
    // Plain words where the store's own are technical: each value too long for its column.
    QStringList tooLong;
    for (qsizetype i = 0; i < columns.size(); ++i) {
        const int field = table.fields.indexOf(columns[i]);
        const int width = field < 0 ? 0 : table.fields.fields[field].width;
        const qsizetype length = StoreImage::characters(values[i].toString());
        if (width > 0 && length > width)
            tooLong << QStringLiteral("%1 超过字段长度 (%2 个字符, 最多 %3)")
                           .arg(columns[i])
                           .arg(length)
                           .arg(width);
    }
    return tooLong.isEmpty() ? QStringLiteral("数据库拒绝保存: ") + refusal
                             : tooLong.join(QStringLiteral(", "));
}

}  // namespace cv
