// The host's import report: the rules that turn the import's own account into one outcome per
// row of the package, and its ending and summary lines into words and counts that agree; and
// its CSV read back by a standard CSV reader.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include "ImportReport.h"
#include "TestHost.h"
#include "TextCodec.h"

namespace {

using cvhost::Outcome;

const QString Summary =
    "人员导入结束: 新增 1 人, 改名后新增 0 人, 已存在 0 人, 未导入 1 人, 新建部门 0 个";

cvhost::PackagePerson person(const QString& id, const QString& name, const QString& login,
                             const QString& dept = "00010002", const QString& path = "甲_乙") {
    return {id, name, login, dept, path};
}

cvhost::AccountRow told(const QString& id, const QString& outcome, int packageRow,
                        const QString& login = "", const QString& code = "",
                        const QString& path = "", const QString& reason = "") {
    return {id, outcome, login, code, path, reason, packageRow};
}

// The report from the import's own account: each account row decides the package row it
// names or, failing that, the first free row of its PerUUID; the rest were not ticked.
TEST(ImportReport, TakesEachOutcomeFromTheImportsAccount) {
    const struct {
        const char* what;
        QList<cvhost::PackagePerson> rows;
        QList<cvhost::AccountRow> account;
        QStringList log;
        int result;
        // Expected, row by row (rows the package does not hold come last).
        QList<Outcome> outcomes;
        QStringList ids, logins, paths, codes, reasons;
    } cases[] = {
        {"every outcome, with what the account says of it",
         {person("1", "甲", "jia"), person("2", "乙", "yi"), person("3", "丙", "bing"),
          person("4", "丁", "ding")},
         {told("1", "inserted", 0, "jia", "0007", "本_七"),
          told("2", "renamed", 1, "yi_1000", "0007", "本_七",
               "要导入的注册名yi已经存在,已经被改为yi_1000"),
          told("3", "present", 2, "", "0008", "本_八"),
          told("4", "not stored", 3, "", "", "甲_乙", "LoginName 超过字段长度")},
         {Summary},
         1,
         {Outcome::Inserted, Outcome::Renamed, Outcome::Present, Outcome::NotStored},
         {"1", "2", "3", "4"},
         {"jia", "yi_1000", "", ""},
         {"本_七", "本_七", "本_八", "甲_乙"},
         {"0007", "0007", "0008", ""},
         {"", "要导入的注册名yi已经存在,已经被改为yi_1000", "本系统已有此人",
          "LoginName 超过字段长度"}},
        {"rows found by PerUUID when the account names none",
         {person("1", "甲", "jia"), person("1", "甲二", "jia2"), person("2", "乙", "yi")},
         {told("1", "inserted", -1, "jia", "0007", "本_七"), told("2", "present", -1)},
         {},
         1,
         {Outcome::Inserted, Outcome::NotTicked, Outcome::Present},
         {"1", "1", "2"},
         {"jia", "", ""},
         {"本_七", "甲_乙", "甲_乙"},
         {"0007", "", ""},
         {"", "", "本系统已有此人"}},
        {"the account names the second of two rows; another names a row of someone else",
         {person("1", "甲", "jia"), person("1", "甲二", "jia2"), person("2", "乙", "yi")},
         {told("1", "present", 1), told("2", "inserted", 0, "yi", "0007", "本_七")},
         {},
         1,
         {Outcome::NotTicked, Outcome::Present, Outcome::Inserted},
         {"1", "1", "2"},
         {"", "", "yi"},
         {"甲_乙", "甲_乙", "本_七"},
         {"", "", "0007"},
         {"", "本系统已有此人", ""}},
        {"not ticked, in the preview and not",
         {person("1", "甲", "jia"), person("2", "乙", "yi", "", "")},
         {},
         {},
         -2,
         {Outcome::NotTicked, Outcome::NotTicked},
         {"1", "2"},
         {"", ""},
         {"甲_乙", ""},
         {"", ""},
         {"", "预览中没有此人 (人员包中没有其部门)"}},
        {"a person the package does not hold, and an outcome nobody agreed",
         {person("1", "甲", "jia")},
         {told("9", "inserted", 0, "nine", "0007", "本_七"), told("1", "lost", 0)},
         {},
         1,
         {Outcome::NotStored, Outcome::Inserted},
         {"1", "9"},
         {"", "nine"},
         {"甲_乙", "本_七"},
         {"", "0007"},
         {"插件报告了未知的结果 \"lost\"; 导入没有记录原因", "人员包中找不到此人; "}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QSet<QString> inTree;
        for (const auto& row : c.rows)
            if (!row.deptPath.isEmpty()) inTree.insert(row.perUUID);
        const cvhost::ImportReport report =
            cvhost::composeReport({c.rows, 1}, c.account, inTree, c.log, c.result);
        ASSERT_EQ(report.rows.size(), c.outcomes.size());
        std::array<int, cvhost::OutcomeCount> counts{};
        for (qsizetype i = 0; i < report.rows.size(); ++i) {
            const cvhost::ReportRow& row = report.rows[i];
            EXPECT_EQ(cvhost::outcomeName(row.outcome), cvhost::outcomeName(c.outcomes[i])) << i;
            EXPECT_EQ(row.perUUID.toStdString(), c.ids[i].toStdString()) << i;
            EXPECT_EQ(row.loginName.toStdString(), c.logins[i].toStdString()) << i;
            EXPECT_EQ(row.deptPath.toStdString(), c.paths[i].toStdString()) << i;
            EXPECT_EQ(row.deptCode.toStdString(), c.codes[i].toStdString()) << i;
            EXPECT_EQ(row.reason.toStdString(), c.reasons[i].toStdString()) << i;
            ++counts[std::size_t(c.outcomes[i])];
        }
        EXPECT_EQ(report.counts, counts);
    }
}

QString summary(int inserted, int renamed, int present, int notStored) {
    return QString(
               "人员导入结束: 新增 %1 人, 改名后新增 %2 人, 已存在 %3 人, 未导入 %4 人, "
               "新建部门 0 个")
        .arg(inserted)
        .arg(renamed)
        .arg(present)
        .arg(notStored);
}

// Each way an import ends has words of its own, told by the head of its last line; a person
// the import never reached takes the ending's reason; the summary's counts are held against
// the report's.
TEST(ImportReport, EachEndingHasItsWordsAndCountsThatAgree) {
    using cvhost::ImportEnd;
    const QList<cvhost::PackagePerson> rows = {person("1", "甲", "jia"), person("2", "乙", "yi")};
    const QList<cvhost::AccountRow> oneStored = {told("1", "inserted", 0, "jia"),
                                                 told("2", "not stored", 1)};
    const QList<cvhost::AccountRow> noneStored = {told("1", "not stored", 0),
                                                  told("2", "not stored", 1)};
    const struct {
        const char* what;
        int result;
        QStringList log;
        QList<cvhost::AccountRow> account;
        ImportEnd end;
        QString words;      // in the ending's text
        QString unreached;  // the reason of person 2, stored or not
        bool agrees;
    } cases[] = {
        {"completed",
         1,
         {summary(1, 0, 0, 1)},
         oneStored,
         ImportEnd::Completed,
         "导入完成",
         "导入没有记录原因",
         true},
        {"nobody ticked", -2, {}, {}, ImportEnd::NothingTicked, "没有选中任何人员", "", false},
        {"cancelled",
         -1,
         {"人员导入已取消: 已处理 1/2 人", summary(1, 0, 0, 1)},
         oneStored,
         ImportEnd::Cancelled,
         "导入已取消 (已处理 1/2 人)",
         "导入已取消, 未处理此人",
         true},
        {"the package refused",
         -1,
         {"人员包无法导入: 人员包文件在预览后已被删除"},
         noneStored,
         ImportEnd::PackageRefused,
         "人员包无法导入, 没有导入任何人员: 人员包文件在预览后已被删除",
         "人员包无法导入: 人员包文件在预览后已被删除",
         false},
        {"the package changed since the preview",
         -1,
         {"人员包无法导入: 人员包在预览后已被更改"},
         noneStored,
         ImportEnd::PackageRefused,
         "人员包在预览后已被更改",
         "人员包无法导入: 人员包在预览后已被更改",
         false},
        {"the store unavailable",
         -1,
         {"数据库不可用, 人员未导入: 无法连接数据库"},
         noneStored,
         ImportEnd::StoreUnavailable,
         "数据库不可用, 没有导入任何人员: 无法连接数据库",
         "数据库不可用: 无法连接数据库",
         false},
        {"the store stopped part-way",
         -1,
         {"人员未导入: 甲 (PerUUID 1): 磁盘已满", "人员导入中止: 磁盘已满", summary(1, 0, 0, 1)},
         oneStored,
         ImportEnd::Stopped,
         "导入中途停止, 停止前导入的人员留在数据库中: 磁盘已满",
         "导入中止, 未处理此人: 磁盘已满",
         true},
        {"-1 without a word",
         -1,
         {},
         noneStored,
         ImportEnd::Failed,
         "插件没有说明原因",
         "导入失败, 未处理此人",
         false},
        {"a summary that counts otherwise",
         1,
         {summary(2, 0, 0, 0)},
         oneStored,
         ImportEnd::Completed,
         "导入完成",
         "导入没有记录原因",
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const cvhost::ImportReport report =
            cvhost::composeReport({rows, 1}, c.account, {"1", "2"}, c.log, c.result);
        EXPECT_EQ(int(report.ending.end), int(c.end));
        const QString text = cvhost::endingText(report.ending);
        EXPECT_TRUE(text.contains(c.words)) << text.toStdString();
        if (!c.unreached.isEmpty()) {
            EXPECT_EQ(report.rows[1].reason.toStdString(), c.unreached.toStdString());
        }
        EXPECT_EQ(report.summaryAgrees, c.agrees);
    }
}

// Reports of random rows whose texts hold commas, quotes, line breaks, blanks, formula
// starts, Chinese and characters outside the basic plane, written as CSV and read back with
// Python's csv module: every field comes back as written (a formula start behind its
// apostrophe), the header first, the byte order mark in front.
TEST(ImportReport, CsvReadsBackThroughAStandardReader) {
    const QStringList pieces = {"张", "伟", ",",       "\"",   "\n", "\r\n", " ",
                                "=",  "+1", "-",       "@",    "a",  "\t",   "'",
                                "😀",  "；", "O'Brien", "\"\"", "_",  "本_七"};
    QTemporaryDir dir;
    QList<cvhost::ImportReport> reports;
    QStringList files;
    for (quint32 seed = 1; seed <= 40; ++seed) {
        QRandomGenerator random(seed);
        auto text = [&] {
            QString value;
            const int n = random.bounded(6);
            for (int i = 0; i < n; ++i) value += pieces[random.bounded(pieces.size())];
            return value;
        };
        cvhost::ImportReport report;
        const int rows = 1 + random.bounded(12);
        for (int i = 0; i < rows; ++i)
            report.rows.append({Outcome(random.bounded(cvhost::OutcomeCount)), text(), text(),
                                text(), text(), text(), text()});
        files << dir.filePath(QString("report-%1.csv").arg(seed));
        QString error;
        ASSERT_TRUE(cvhost::saveReportCsv(report, files.last(), &error)) << error.toStdString();
        QFile written(files.last());
        ASSERT_TRUE(written.open(QIODevice::ReadOnly));
        EXPECT_TRUE(written.read(3) == "\xEF\xBB\xBF") << seed;
        reports << report;
    }

    QProcess python;
    python.start("python3",
                 QStringList{"-c",
                             "import csv, json, sys\n"
                             "def read(name):\n"
                             "    with open(name, newline='', encoding='utf-8-sig') as f:\n"
                             "        return list(csv.reader(f))\n"
                             "json.dump([read(name) for name in sys.argv[1:]], sys.stdout)\n"} +
                     files);
    ASSERT_TRUE(python.waitForFinished(60000));
    ASSERT_EQ(python.exitCode(), 0) << python.readAllStandardError().toStdString();
    const QJsonArray all = QJsonDocument::fromJson(python.readAllStandardOutput()).array();
    ASSERT_EQ(all.size(), reports.size());
    for (qsizetype r = 0; r < reports.size(); ++r) {
        const QJsonArray read = all[r].toArray();
        const QList<cvhost::ReportRow>& rows = reports[r].rows;
        ASSERT_EQ(read.size(), rows.size() + 1) << r;
        EXPECT_EQ(read[0].toArray().first().toString(), "人员编号");
        for (qsizetype i = 0; i < rows.size(); ++i) {
            const cvhost::ReportRow& row = rows[i];
            const QStringList expected = {
                row.perUUID,  row.perName,  row.loginName, cvhost::outcomeLabel(row.outcome),
                row.deptPath, row.deptCode, row.reason};
            QStringList got;
            for (const QJsonValue& field : read[i + 1].toArray()) got << field.toString();
            ASSERT_EQ(got.size(), expected.size()) << r << ' ' << i;
            for (qsizetype f = 0; f < expected.size(); ++f) {
                const QString& value = expected[f];
                const bool formula = !value.isEmpty() && QString("=+-@\t\r").contains(value[0]);
                EXPECT_EQ(got[f], formula ? "'" + value : value) << r << ' ' << i << ' ' << f;
            }
        }
    }
}

}  // namespace
