#include "ImportLimits.h"

#include "Database.h"
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

// A value as the text it is sent as: most are texts already, and are not copied.
QString textSent(const QVariant& value) {
    return value.metaType() == QMetaType::fromType<QString>()
               ? *static_cast<const QString*>(value.constData())
               : value.toString();
}

}  // namespace

ImportWrite ImportWrite::person(const TCVPersonInfo& p) {
    QVariantList values(PersonColumnCount);
    values[PerUUIDColumn] = text(p.PerUUID);
    values[PerNameColumn] = text(p.PerName);
    values[PerSexColumn] = text(p.PerSex);
    values[PerMemoColumn] = text(p.PerMemo);
    values[LoginNameColumn] = text(p.LoginName);
    values[UPasswordColumn] = text(p.UPassword);
    values[PerDeptColumn] = text(p.PerDept);
    // PrjID goes as the text '0', as the host's statement writes it; the store reads a number.
    values[PrjIDColumn] = QStringLiteral("0");
    return {Table::Person, std::move(values), -1};
}

ImportWrite ImportWrite::dept(const QString& code, const QString& name) {
    return {Table::Dept, {text(code), text(name), QStringLiteral("")}, -1};
}

const QStringList& ImportWrite::columns(Table table) {
    return table == Table::Person ? PersonColumns : DeptColumns;
}

ImportLimits ImportLimits::read(TDM_PersonPack& module) {
    const bool networked = host::workingStyle() == 1;
    ImportLimits limits;
    limits.people_ = tableFields(module, networked, storesql::topPerson());
    limits.depts_ = tableFields(module, networked, storesql::topDept());
    const Connection* store = nullptr;
    if (networked && module.ConnectionBroker()) {
        store = &module.ConnectionBroker()->serverConnection();
    } else if (!networked) {
        store = module.BaseConnection();
    }
    limits.widthsHeld_ = store && store->dialect() == Dialect::PostgreSQL;
    for (const auto table : {ImportWrite::Table::Person, ImportWrite::Table::Dept}) {
        const RowSet& fields = limits.fields(table);
        std::vector<int>& widths =
            table == ImportWrite::Table::Person ? limits.personWidths_ : limits.deptWidths_;
        for (const QString& column : ImportWrite::columns(table)) {
            const int field = fields.indexOf(column);
            widths.push_back(field < 0 ? 0 : fields.fields[field].width);
        }
    }
    return limits;
}

QString ImportLimits::predictRefusal(const ImportWrite& write) const {
    if (!widthsHeld_) return {};
    if (QString tooLong = overWidth(write); !tooLong.isEmpty()) return tooLong;
    for (const QVariant& value : write.values)
        if (textSent(value).contains(QChar(0)))
            return QStringLiteral("数据库拒绝保存: 值中含有空字符 (U+0000), 数据库服务器无法保存");
    return {};
}

bool ImportLimits::personValueFits(int column, QStringView value, qsizetype more) const {
    if (!widthsHeld_) return true;
    const int width = std::size_t(column) < personWidths_.size() ? personWidths_[column] : 0;
    return (width <= 0 || value.size() + more <= width) && !value.contains(QChar(0));
}

bool ImportLimits::packageValuesFit(const TCVPersonInfo& p) const {
    using W = ImportWrite;
    return personValueFits(W::PerUUIDColumn, p.PerUUID) &&
           personValueFits(W::PerNameColumn, p.PerName) &&
           personValueFits(W::PerSexColumn, p.PerSex) &&
           personValueFits(W::PerMemoColumn, p.PerMemo) &&
           personValueFits(W::UPasswordColumn, p.UPassword) &&
           personValueFits(W::PrjIDColumn, u"0");
}

QString ImportLimits::explain(const ImportWrite& write, const QString& refusal) const {
    QString tooLong = overWidth(write);
    return tooLong.isEmpty() ? QStringLiteral("数据库拒绝保存: ") + refusal : tooLong;
}

// Nearly every write fits: words are made only for a value longer than its column.
QString ImportLimits::overWidth(const ImportWrite& write) const {
    const std::vector<int>& widths =
        write.table == ImportWrite::Table::Person ? personWidths_ : deptWidths_;
    const QStringList& columns = ImportWrite::columns(write.table);
    QStringList tooLong;
    for (qsizetype i = 0; i < columns.size(); ++i) {
        const int width = std::size_t(i) < widths.size() ? widths[std::size_t(i)] : 0;
        const QString text = textSent(write.values[i]);
        // A text of no more units than the width has no more characters either.
        if (width <= 0 || text.size() <= width) continue;
        const qsizetype length = StoreImage::characters(text);
        if (length > width)
            tooLong << QStringLiteral("%1 超过字段长度 (%2 个字符, 最多 %3)")
                           .arg(columns[i])
                           .arg(length)
                           .arg(width);
    }
    return tooLong.join(QStringLiteral(", "));
}

}  // namespace cv
