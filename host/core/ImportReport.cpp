#include "ImportReport.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QTemporaryDir>
#include <stdexcept>

#include "ClientDataSet.h"
#include "Database.h"
#include "Installation.h"
#include "Packer.h"
#include "TextCodec.h"

namespace cvhost {
namespace {

// The lines of the import's log that the report reads (the messages, without the log's own
// columns). Names and identifiers inside them went through cv::logSafeText.
const QString NotStoredPrefix = QStringLiteral("人员未导入: ");
const QString NotStoredIdMark = QStringLiteral(" (PerUUID ");
const QString NotStoredReasonMark = QStringLiteral("): ");
const QString SummaryPrefix = QStringLiteral("人员导入结束: ");
const QString CancelledPrefix = QStringLiteral("人员导入已取消: ");
const QString ChangedLine = QStringLiteral("人员包无法导入: 人员包在预览后已被更改");

constexpr qsizetype BatchSize = 500;

QString fileIn(const QString& folder, const QString& lowerName) {
    if (QFileInfo::exists(folder + '/' + lowerName)) return folder + '/' + lowerName;
    for (const QString& entry : QDir(folder).entryList(QDir::Files))
        if (entry.toLower() == lowerName) return folder + '/' + entry;
    throw std::runtime_error("the package has no " + lowerName.toStdString());
}

cv::ClientDataSet load(const QString& path) {
    cv::ClientDataSet dataset;
    try {
        dataset.loadFromFile(path);
    } catch (const std::exception& e) {
        throw std::runtime_error("cannot read " + QFileInfo(path).fileName().toStdString() + ": " +
                                 e.what());
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
        throw std::runtime_error("the package's person file has no PerUUID column");

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

// "人员未导入: NAME (PerUUID ID): REASON" → REASON under the key NAME + U+0000 + ID. A name or
// an identifier may itself hold the marks, so every way of reading the line is kept (a
// bounded number of them); a person's own key then finds the reason.
QHash<QString, QString> notStoredReasons(const QStringList& log) {
    constexpr int MaxReadings = 64;
    QHash<QString, QString> reasons;
    for (const QString& line : log) {
        if (!line.startsWith(NotStoredPrefix)) continue;
        const QStringView rest = QStringView(line).sliced(NotStoredPrefix.size());
        int readings = 0;
        for (qsizetype id = rest.indexOf(NotStoredIdMark); id >= 0 && readings < MaxReadings;
             id = rest.indexOf(NotStoredIdMark, id + 1)) {
            const qsizetype idStart = id + NotStoredIdMark.size();
            for (qsizetype end = rest.indexOf(NotStoredReasonMark, idStart);
                 end >= 0 && readings < MaxReadings;
                 end = rest.indexOf(NotStoredReasonMark, end + 1), ++readings) {
                const QString key = rest.first(id).toString() + QChar(0) +
                                    rest.sliced(idStart, end - idStart).toString();
                reasons.insert(key, rest.sliced(end + NotStoredReasonMark.size()).toString());
            }
        }
    }
    return reasons;
}

QString reasonForUnhandled(const QStringList& log, int result) {
    for (const QString& line : log) {
        if (line.startsWith(CancelledPrefix)) return QStringLiteral("导入已取消, 未处理此人");
        if (line == ChangedLine) return QStringLiteral("人员包在预览后已被更改, 未导入");
    }
    if (result == -1) return QStringLiteral("导入失败, 未处理此人");
    return QStringLiteral("导入没有记录原因");
}

// Runs `statement` (which ends in "IN (") over `values` in batches; `row` sees each result row.
template <typename RowFn>
void inBatches(cv::Connection& store, const QString& statement, const QStringList& values,
               RowFn&& row) {
    for (qsizetype at = 0; at < values.size(); at += BatchSize) {
        QString sql = statement;
        const qsizetype end = std::min(values.size(), at + BatchSize);
        for (qsizetype i = at; i < end; ++i) {
            if (i > at) sql += u',';
            sql += cv::sqlQuote(values[i]);
        }
        sql += u')';
        cv::Query query(&store);
        query.setCommandText(sql);
        query.open();
        for (; !query.eof(); query.next()) row(query);
    }
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

QStringList idsOf(const PackageContents& package) {
    QStringList ids;
    QSet<QString> seen;
    for (const PackagePerson& person : package.people)
        if (!seen.contains(person.perUUID)) {
            seen.insert(person.perUUID);
            ids << person.perUUID;
        }
    return ids;
}

}  // namespace

PackageContents readPackage(const QString& package) {
    if (QFileInfo(package).isDir()) return readFolder(package);
    if (!QFileInfo(package).isFile())
        throw std::runtime_error("no package at " + package.toStdString());
    QTemporaryDir unpacked(QDir::tempPath() + QStringLiteral("/corvane-report-XXXXXX"));
    if (!unpacked.isValid()) throw std::runtime_error("no temporary folder for the package");
    QString error;
    if (!extractArchive(package, unpacked.path(), &error))
        throw std::runtime_error("cannot unpack the package: " + error.toStdString());
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

QString summaryLine(const QStringList& log) {
    QString summary;
    for (const QString& line : log)
        if (line.startsWith(SummaryPrefix)) summary = line;
    return summary;
}

ImportReport composeReport(const ImportObservation& seen) {
    ImportReport report;
    report.result = seen.result;
    report.summaryLine = summaryLine(seen.log);
    const QHash<QString, QString> reasons = notStoredReasons(seen.log);
    const QString unhandled = reasonForUnhandled(seen.log, seen.result);

    QHash<QString, int> ticksLeft = seen.ticks;
    QSet<QString> storedByEarlierRow;
    report.rows.reserve(seen.package.people.size());
    for (const PackagePerson& person : seen.package.people) {
        ReportRow row;
        row.perUUID = person.perUUID;
        row.perName = person.perName;
        row.deptPath = person.deptPath;
        const auto stored = seen.storedAfter.constFind(person.perUUID);
        if (stored != seen.storedAfter.cend()) {
            row.loginName = stored->loginName;
            row.deptCode = stored->perDept;
            row.deptPath = seen.deptPaths.value(stored->perDept);
        }
        int& ticks = ticksLeft[person.perUUID];
        if (ticks <= 0) {
            row.outcome = Outcome::NotTicked;
            if (!seen.inTree.contains(person.perUUID))
                row.reason = QStringLiteral("预览中没有此人 (人员包中没有其部门)");
        } else {
            --ticks;
            if (seen.presentBefore.contains(person.perUUID)) {
                row.outcome = Outcome::Present;
                row.reason = QStringLiteral("本系统已有此人");
            } else if (storedByEarlierRow.contains(person.perUUID)) {
                row.outcome = Outcome::Present;
                row.reason = QStringLiteral("人员包中重复, 已由前面一行导入");
            } else if (stored != seen.storedAfter.cend()) {
                storedByEarlierRow.insert(person.perUUID);
                if (stored->loginName == person.loginName) {
                    row.outcome = Outcome::Inserted;
                } else {
                    row.outcome = Outcome::Renamed;
                    row.reason = QStringLiteral("注册名 ") + person.loginName +
                                 QStringLiteral(" 已存在, 改为 ") + stored->loginName;
                }
            } else {
                row.outcome = Outcome::NotStored;
                row.reason = reasons.value(
                    cv::logSafeText(person.perName) + QChar(0) + cv::logSafeText(person.perUUID),
                    unhandled);
            }
        }
        ++report.counts[std::size_t(row.outcome)];
        report.rows.append(std::move(row));
    }
    return report;
}

QSet<QString> storedIds(cv::Connection& store, const QStringList& ids) {
    QSet<QString> found;
    inBatches(
        store, QStringLiteral("SELECT PerUUID FROM CV_PersonInfo WHERE PerUUID IN ("), ids,
        [&](const cv::Query& row) { found.insert(row.fieldText(QStringLiteral("PerUUID"))); });
    return found;
}

QHash<QString, StoredPerson> storedPeople(cv::Connection& store, const QStringList& ids) {
    QHash<QString, StoredPerson> people;
    inBatches(
        store,
        QStringLiteral("SELECT PerUUID, LoginName, PerDept FROM CV_PersonInfo WHERE PerUUID IN ("),
        ids, [&](const cv::Query& row) {
            people.insert(row.fieldText(QStringLiteral("PerUUID")),
                          {row.fieldText(QStringLiteral("LoginName")),
                           row.fieldText(QStringLiteral("PerDept"))});
        });
    return people;
}

QHash<QString, QString> departmentPaths(cv::Connection& store, const QSet<QString>& codes) {
    // A code's levels are its prefixes of 4, 8, ... characters, and the whole code when its
    // length is not a multiple of four.
    auto levels = [](const QString& code) {
        QStringList prefixes;
        for (qsizetype n = 4; n <= code.size(); n += 4) prefixes << code.left(n);
        if (code.size() % 4 != 0) prefixes << code;
        return prefixes;
    };
    QSet<QString> wanted;
    for (const QString& code : codes)
        if (!code.isEmpty())
            for (const QString& prefix : levels(code)) wanted.insert(prefix);
    QHash<QString, QString> names;
    inBatches(store, QStringLiteral("SELECT DeptID, DeptName FROM CV_DeptInfo WHERE DeptID IN ("),
              QStringList(wanted.cbegin(), wanted.cend()), [&](const cv::Query& row) {
                  names.insert(row.fieldText(QStringLiteral("DeptID")),
                               row.fieldText(QStringLiteral("DeptName")));
              });
    QHash<QString, QString> paths;
    for (const QString& code : codes) {
        if (code.isEmpty()) continue;
        QStringList parts;
        for (const QString& prefix : levels(code)) parts << names.value(prefix);
        paths.insert(code, parts.join(u'_'));
    }
    return paths;
}

QByteArray reportCsv(const ImportReport& report) {
    QString text = QStringLiteral(
        "PerUUID,PerName,LoginName,outcome,department path,department code,reason\r\n");
    for (const ReportRow& row : report.rows) {
        const QString fields[] = {
            row.perUUID,  row.perName,  row.loginName, outcomeName(row.outcome),
            row.deptPath, row.deptCode, row.reason};
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

ImportWatch::ImportWatch(const QString& package, const QString& store, QHash<QString, int> ticks,
                         QSet<QString> inTree)
    : store_(store) {
    seen_.package = readPackage(package);
    seen_.ticks = std::move(ticks);
    seen_.inTree = std::move(inTree);
    seen_.presentBefore = storedIds(*openStore(store_), idsOf(seen_.package));
}

ImportReport ImportWatch::finish(const QStringList& log, int result) {
    auto store = openStore(store_);
    seen_.storedAfter = storedPeople(*store, idsOf(seen_.package));
    QSet<QString> codes;
    for (const StoredPerson& person : std::as_const(seen_.storedAfter))
        codes.insert(person.perDept);
    seen_.deptPaths = departmentPaths(*store, codes);
    seen_.log = log;
    seen_.result = result;
    return composeReport(seen_);
}

}  // namespace cvhost
