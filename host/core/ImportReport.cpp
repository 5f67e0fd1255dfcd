#include "ImportReport.h"

#include <QAbstractItemModel>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTemporaryDir>
#include <stdexcept>
#include <vector>

#include "ClientDataSet.h"
#include "Packer.h"
#include "TextCodec.h"
#include "WorkFolders.h"

namespace cvhost {
namespace {

// The lines of the import's log that the report reads (the messages, without the log's own
// columns).
const QString SummaryPrefix = QStringLiteral("人员导入结束: ");
// The heads of the lines that end an import other than by completing it.
const struct {
    ImportEnd end;
    QString head;
} EndHeads[] = {
    {ImportEnd::Cancelled, QStringLiteral("人员导入已取消: ")},
    {ImportEnd::PackageRefused, QStringLiteral("人员包无法导入: ")},
    {ImportEnd::StoreUnavailable, QStringLiteral("数据库不可用, 人员未导入: ")},
    {ImportEnd::Stopped, QStringLiteral("人员导入中止: ")},
};

[[noreturn]] void refuse(const QString& reason) { throw std::runtime_error(reason.toStdString()); }

QString fileIn(const QString& folder, const QString& lowerName) {
    if (QFileInfo::exists(folder + '/' + lowerName)) return folder + '/' + lowerName;
    for (const QString& entry : QDir(folder).entryList(QDir::Files))
        if (entry.toLower() == lowerName) return folder + '/' + entry;
    refuse(QString::fromUtf8("人员包中没有 %1 文件").arg(lowerName));
}

cv::ClientDataSet load(const QString& path) {
    cv::ClientDataSet dataset;
    try {
        dataset.loadFromFile(path);
    } catch (const std::exception& e) {
        refuse(QString::fromUtf8("无法读取人员包中的 %1: %2")
                   .arg(QFileInfo(path).fileName(), QString::fromUtf8(e.what())));
    }
    return dataset;
}

// A column the file may lack reads as the empty text, as in the import.
QString textOf(const cv::ClientDataSet& rows, int field, const QString& name) {
    return field < 0 ? QString() : rows.text(name);
}

PackageContents readFolder(const QString& folder) {
    cv::ClientDataSet people = load(fileIn(folder, QStringLiteral("perinfo.per")));
    cv::ClientDataSet depts = load(fileIn(folder, QStringLiteral("deptinfo.per")));
    if (people.fieldIndex(QStringLiteral("PerUUID")) < 0)
        refuse(QString::fromUtf8("人员包的人员文件没有 PerUUID 列"));

    PackageContents contents;
    QHash<QString, QString> paths;  // the import's rule: the last row with a DeptName wins
    const bool deptColumns = depts.fieldIndex(QStringLiteral("DeptID")) >= 0 &&
                             depts.fieldIndex(QStringLiteral("DeptName")) >= 0;
    for (depts.first(); !depts.eof(); depts.next()) {
        ++contents.departments;
        if (deptColumns && !depts.isNull(QStringLiteral("DeptName")))
            paths.insert(depts.text(QStringLiteral("DeptID")),
                         depts.text(QStringLiteral("DeptName")));
    }
    const int name = people.fieldIndex(QStringLiteral("PerName"));
    const int login = people.fieldIndex(QStringLiteral("LoginName"));
    const int dept = people.fieldIndex(QStringLiteral("PerDept"));
    contents.people.reserve(people.recordCount());
    for (people.first(); !people.eof(); people.next()) {
        PackagePerson person;
        person.perUUID = people.text(QStringLiteral("PerUUID"));
        person.perName = textOf(people, name, QStringLiteral("PerName"));
        person.loginName = textOf(people, login, QStringLiteral("LoginName"));
        person.perDept = textOf(people, dept, QStringLiteral("PerDept"));
        if (!person.perDept.isEmpty()) person.deptPath = paths.value(person.perDept);
        contents.people.append(std::move(person));
    }
    return contents;
}

// The reason of a ticked person not stored that the import gave no line of its own.
QString reasonForUnhandled(const ImportEnding& ending) {
    switch (ending.end) {
        case ImportEnd::Completed:
        case ImportEnd::NothingTicked:
            return QStringLiteral("导入没有记录原因");
        case ImportEnd::Cancelled:
            return QStringLiteral("导入已取消, 未处理此人");
        case ImportEnd::PackageRefused:
            return QStringLiteral("人员包无法导入: ") + ending.reason;
        case ImportEnd::StoreUnavailable:
            return QStringLiteral("数据库不可用: ") + ending.reason;
        case ImportEnd::Stopped:
            return QStringLiteral("导入中止, 未处理此人: ") + ending.reason;
        case ImportEnd::Failed:
            break;
    }
    return QStringLiteral("导入失败, 未处理此人");
}

// Counts the report's outcomes and compares them with the summary line's.
void finishCounts(ImportReport& report) {
    for (const ReportRow& row : report.rows) ++report.counts[std::size_t(row.outcome)];
    const std::optional<SummaryCounts> summary = summaryCounts(report.summaryLine);
    report.summaryAgrees = summary && summary->inserted == report.count(Outcome::Inserted) &&
                           summary->renamed == report.count(Outcome::Renamed) &&
                           summary->present == report.count(Outcome::Present) &&
                           summary->notStored == report.count(Outcome::NotStored);
}

QString csvField(const QString& value) {
    QString field = value;
    if (!field.isEmpty() && QStringLiteral("=+-@\t\r").contains(field.front()))
        field.prepend(u'\'');
    if (field.contains(u',') || field.contains(u'"') || field.contains(u'\n') ||
        field.contains(u'\r'))
        return u'"' + field.replace(u'"', QStringLiteral("\"\"")) + u'"';
    return field;
}

}  // namespace

PackageContents readPackage(const QString& package) {
    if (QFileInfo(package).isDir()) return readFolder(package);
    if (!QFileInfo(package).isFile()) refuse(QString::fromUtf8("人员包不存在: ") + package);
    const QString run = runFolder();
    QTemporaryDir unpacked((run.isEmpty() ? QDir::tempPath() + '/' : run) +
                           QStringLiteral("report-XXXXXX"));
    if (!unpacked.isValid()) refuse(QString::fromUtf8("无法建立解包人员包的临时文件夹"));
    QString error;
    if (!extractArchive(package, unpacked.path(), &error))
        refuse(QString::fromUtf8("无法解包人员包: ") + error);
    return readFolder(unpacked.path());
}

QString outcomeName(Outcome outcome) {
    switch (outcome) {
        case Outcome::Inserted:
            return QStringLiteral("inserted");
        case Outcome::Renamed:
            return QStringLiteral("renamed");
        case Outcome::Present:
            return QStringLiteral("present");
        case Outcome::NotTicked:
            return QStringLiteral("not ticked");
        case Outcome::NotStored:
            break;
    }
    return QStringLiteral("not stored");
}

QString outcomeLabel(Outcome outcome) {
    switch (outcome) {
        case Outcome::Inserted:
            return QStringLiteral("新增");
        case Outcome::Renamed:
            return QStringLiteral("改名后新增");
        case Outcome::Present:
            return QStringLiteral("已存在");
        case Outcome::NotTicked:
            return QStringLiteral("未选中");
        case Outcome::NotStored:
            break;
    }
    return QStringLiteral("未导入");
}

ImportEnding importEnding(int result, const QStringList& log) {
    if (result == 1) return {ImportEnd::Completed, {}};
    if (result == -2) return {ImportEnd::NothingTicked, {}};
    // The last line with a head tells: a cancel may follow a refusal of one person.
    for (auto line = log.crbegin(); line != log.crend(); ++line) {
        for (const auto& [end, head] : EndHeads)
            if (line->startsWith(head)) return {end, line->mid(head.size())};
    }
    return {ImportEnd::Failed, {}};
}

QString endingText(const ImportEnding& ending) {
    switch (ending.end) {
        case ImportEnd::Completed:
            return QString::fromUtf8("导入完成");
        case ImportEnd::NothingTicked:
            return QString::fromUtf8("没有选中任何人员, 没有导入");
        case ImportEnd::Cancelled:
            return QString::fromUtf8("导入已取消 (%1); 取消前导入的人员留在数据库中")
                .arg(ending.reason);
        case ImportEnd::PackageRefused:
            return QString::fromUtf8("人员包无法导入, 没有导入任何人员: ") + ending.reason;
        case ImportEnd::StoreUnavailable:
            return QString::fromUtf8("数据库不可用, 没有导入任何人员: ") + ending.reason;
        case ImportEnd::Stopped:
            return QString::fromUtf8("导入中途停止, 停止前导入的人员留在数据库中: ") +
                   ending.reason;
        case ImportEnd::Failed:
            break;
    }
    return QString::fromUtf8("导入失败: 插件没有说明原因");
}

std::optional<SummaryCounts> summaryCounts(const QString& summaryLine) {
    static const QRegularExpression pattern(
        QStringLiteral("^人员导入结束: 新增 (\\d+) 人, 改名后新增 (\\d+) 人, 已存在 (\\d+) 人, "
                       "未导入 (\\d+) 人, 新建部门 (\\d+) 个$"));
    const QRegularExpressionMatch match = pattern.match(summaryLine);
    if (!match.hasMatch()) return std::nullopt;
    return SummaryCounts{match.captured(1).toInt(), match.captured(2).toInt(),
                         match.captured(3).toInt(), match.captured(4).toInt(),
                         match.captured(5).toInt()};
}

QList<AccountRow> readAccount(const QAbstractItemModel& model) {
    QList<AccountRow> rows;
    const int count = model.rowCount();
    rows.reserve(count);
    auto text = [&](int row, int column) { return model.index(row, column).data().toString(); };
    for (int row = 0; row < count; ++row) {
        bool number = false;
        const int packageRow = text(row, 6).toInt(&number);
        rows.append({text(row, 0), text(row, 1), text(row, 2), text(row, 3), text(row, 4),
                     text(row, 5), number ? packageRow : -1});
    }
    return rows;
}

QString summaryLine(const QStringList& log) {
    QString summary;
    for (const QString& line : log)
        if (line.startsWith(SummaryPrefix)) summary = line;
    return summary;
}

ImportReport composeReport(const PackageContents& package, const QList<AccountRow>& account,
                           const QSet<QString>& inTree, const QStringList& log, int result) {
    ImportReport report;
    report.result = result;
    report.summaryLine = summaryLine(log);
    report.ending = importEnding(result, log);
    const QString unhandled = reasonForUnhandled(report.ending);

    // Which account row each package row takes: first the rows the account names, then the
    // rest by PerUUID in file order.
    const qsizetype rows = package.people.size();
    std::vector<qsizetype> taker(std::size_t(rows), -1);
    std::vector<bool> placed(std::size_t(account.size()), false);
    for (qsizetype a = 0; a < account.size(); ++a) {
        const int at = account[a].packageRow;
        if (at >= 0 && at < rows && taker[std::size_t(at)] < 0 &&
            package.people[at].perUUID == account[a].perUUID) {
            taker[std::size_t(at)] = a;
            placed[std::size_t(a)] = true;
        }
    }
    QHash<QString, QList<qsizetype>> freeRows;  // PerUUID → package rows not taken, in order
    for (qsizetype i = rows - 1; i >= 0; --i)
        if (taker[std::size_t(i)] < 0) freeRows[package.people[i].perUUID].append(i);
    for (qsizetype a = 0; a < account.size(); ++a) {
        if (placed[std::size_t(a)]) continue;
        QList<qsizetype>& free = freeRows[account[a].perUUID];
        if (free.isEmpty()) continue;
        taker[std::size_t(free.takeLast())] = a;
        placed[std::size_t(a)] = true;
    }

    auto fromAccount = [&](const AccountRow& told, ReportRow& row) {
        static const QHash<QString, Outcome> outcomes = {
            {QStringLiteral("inserted"), Outcome::Inserted},
            {QStringLiteral("renamed"), Outcome::Renamed},
            {QStringLiteral("present"), Outcome::Present},
            {QStringLiteral("not stored"), Outcome::NotStored}};
        row.outcome = outcomes.value(told.outcome, Outcome::NotStored);
        row.loginName = told.loginName;
        row.deptCode = told.deptCode;
        if (!told.deptPath.isEmpty() || !told.deptCode.isEmpty()) row.deptPath = told.deptPath;
        row.reason = told.reason;
        if (row.outcome == Outcome::Present && row.reason.isEmpty())
            row.reason = QStringLiteral("本系统已有此人");
        if (row.outcome == Outcome::NotStored && row.reason.isEmpty()) row.reason = unhandled;
        if (!outcomes.contains(told.outcome))
            row.reason =
                QStringLiteral("插件报告了未知的结果 \"%1\"; ").arg(told.outcome) + row.reason;
    };
    report.rows.reserve(rows);
    for (qsizetype i = 0; i < rows; ++i) {
        const PackagePerson& person = package.people[i];
        ReportRow row;
        row.perUUID = person.perUUID;
        row.perName = person.perName;
        row.deptPath = person.deptPath;
        if (const qsizetype a = taker[std::size_t(i)]; a >= 0) {
            fromAccount(account[a], row);
        } else {
            row.outcome = Outcome::NotTicked;
            if (!inTree.contains(person.perUUID))
                row.reason = QStringLiteral("预览中没有此人 (人员包中没有其部门)");
        }
        report.rows.append(std::move(row));
    }
    for (qsizetype a = 0; a < account.size(); ++a) {
        if (placed[std::size_t(a)]) continue;
        ReportRow row;
        row.perUUID = account[a].perUUID;
        fromAccount(account[a], row);
        row.reason = QStringLiteral("人员包中找不到此人; ") + row.reason;
        report.rows.append(std::move(row));
    }
    finishCounts(report);
    return report;
}

ImportReport composePlannedReport(const PackageContents& package, const QList<AccountRow>& plan,
                                  const QSet<QString>& inTree) {
    ImportReport report = composeReport(package, plan, inTree, {}, 1);
    report.planned = true;
    return report;
}

QString plannedLabel(Outcome outcome) {
    return outcome == Outcome::NotTicked ? outcomeLabel(outcome)
                                         : QStringLiteral("预计") + outcomeLabel(outcome);
}

QList<AccountRow> notedDepartures(QList<AccountRow> account, const QList<AccountRow>& plan) {
    static const QHash<QString, QString> labels = {
        {QStringLiteral("inserted"), outcomeLabel(Outcome::Inserted)},
        {QStringLiteral("renamed"), outcomeLabel(Outcome::Renamed)},
        {QStringLiteral("present"), outcomeLabel(Outcome::Present)},
        {QStringLiteral("not stored"), outcomeLabel(Outcome::NotStored)}};
    for (qsizetype i = 0; i < account.size() && i < plan.size(); ++i) {
        AccountRow& done = account[i];
        const AccountRow& foreseen = plan[i];
        if (done.perUUID != foreseen.perUUID || done.packageRow != foreseen.packageRow) continue;
        if (done.outcome == foreseen.outcome && done.loginName == foreseen.loginName &&
            done.deptCode == foreseen.deptCode)
            continue;
        QString note = QStringLiteral("与预演不同, 预演时预计: ") +
                       labels.value(foreseen.outcome, foreseen.outcome);
        if (!foreseen.loginName.isEmpty()) note += QStringLiteral(", 登录名 ") + foreseen.loginName;
        if (!foreseen.deptCode.isEmpty()) note += QStringLiteral(", 部门编码 ") + foreseen.deptCode;
        if (foreseen.outcome == QLatin1String("not stored") && !foreseen.reason.isEmpty())
            note += QStringLiteral(" (") + foreseen.reason + u')';
        done.reason = done.reason.isEmpty() ? note : done.reason + QStringLiteral("; ") + note;
    }
    return account;
}

QByteArray reportCsv(const ImportReport& report) {
    QString text = QStringLiteral("人员编号,姓名,登录名,结果,部门路径,本系统部门编码,原因\r\n");
    for (const ReportRow& row : report.rows) {
        const QString fields[] = {
            row.perUUID,   row.perName,
            row.loginName, report.planned ? plannedLabel(row.outcome) : outcomeLabel(row.outcome),
            row.deptPath,  row.deptCode,
            row.reason};
        bool first = true;
        for (const QString& field : fields) {
            if (!first) text += u',';
            first = false;
            text += csvField(field);
        }
        text += QStringLiteral("\r\n");
    }
    return QByteArray("\xEF\xBB\xBF") + text.toUtf8();
}

bool saveReportCsv(const ImportReport& report, const QString& file, QString* error) {
    QSaveFile out(file);
    const QByteArray bytes = reportCsv(report);
    if (out.open(QIODevice::WriteOnly) && out.write(bytes) == bytes.size() && out.commit())
        return true;
    if (error) *error = out.errorString();
    return false;
}

}  // namespace cvhost
