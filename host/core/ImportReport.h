// The host's report of one import: what became of each person of the package. The package's
// person rows give the report its rows; the import's own account (the embedded frame's
// "ImportAccount" model: one row per ticked person node, with its outcome) gives each ticked
// one its outcome; the import's log lines give its ending. The host never works out an
// outcome from rows in the store, which other processes write too. `corvane import --report`
// and the main window's report pane make it the same way, so the two always agree.
//
// Deciding (composeReport, importEnding) is kept apart from reading (readPackage, readAccount),
// so that the rules can be checked on any made-up account.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <array>
#include <optional>

class QAbstractItemModel;

namespace cvhost {

// One row of a package's person file, with the department path its department file gives.
struct PackagePerson {
    QString perUUID;
    QString perName;
    QString loginName;
    QString perDept;   // the code in the installation that wrote the package
    QString deptPath;  // "" when the department file names none for that code
};

struct PackageContents {
    QList<PackagePerson> people;  // in file order
    int departments = 0;          // rows of the department file
};

// Reads the two dataset files of a package: `package` is a zip file (unpacked into a temporary
// folder that is removed again) or a folder that holds them. The file names are found without
// regard to letter case. Throws std::runtime_error, with the reason in Chinese, when the
// package cannot be read.
PackageContents readPackage(const QString& package);

enum class Outcome { Inserted, Renamed, Present, NotTicked, NotStored };
constexpr int OutcomeCount = 5;
// "inserted", "renamed", "present", "not ticked", "not stored": the account's and the
// program's words.
QString outcomeName(Outcome outcome);
// The same in the interface's words, which the CSV uses too: 新增, 改名后新增, 已存在, 未选中,
// 未导入.
QString outcomeLabel(Outcome outcome);

// How an import ended, told by its answer and the heads of its last lines.
enum class ImportEnd {
    Completed,         // answered 1 (some people may still not be stored, each with a line)
    NothingTicked,     // answered -2
    Cancelled,         // the user pressed Cancel; the people of the windows done stay stored
    PackageRefused,    // refused before anything was stored (unpacking, files, changed)
    StoreUnavailable,  // the store could not be used; nothing stored
    Stopped,           // the store stopped part-way; the people stored before stay stored
    Failed,            // -1 without a line that says why
};
struct ImportEnding {
    ImportEnd end = ImportEnd::Failed;
    QString reason;  // the text after the line's head ("已处理 3/10 人" for a cancel)
};
ImportEnding importEnding(int result, const QStringList& log);
// The ending in the interface's words: what happened and what it left stored.
QString endingText(const ImportEnding& ending);

// The counts of the import's summary line ("人员导入结束: 新增 1 人, 改名后新增 0 人, 已存在 0
// 人, 未导入 1 人, 新建部门 0 个"); none when the line does not read so.
struct SummaryCounts {
    int inserted = 0, renamed = 0, present = 0, notStored = 0, departments = 0;
};
std::optional<SummaryCounts> summaryCounts(const QString& summaryLine);

// One row of the import's account.
struct AccountRow {
    QString perUUID;
    QString outcome;      // inserted, renamed, present, not stored
    QString loginName;    // the login name stored (inserted, renamed)
    QString deptCode;     // this installation's department code
    QString deptPath;     // this installation's when stored, else the package's
    QString reason;       // for not stored, and the rename line of renamed
    int packageRow = -1;  // the row of the package's person file; -1 when unknown
};
// The rows of an account model: columns 0 to 6, display role, as listed above.
QList<AccountRow> readAccount(const QAbstractItemModel& model);

struct ReportRow {
    Outcome outcome = Outcome::NotTicked;
    QString perUUID;
    QString perName;
    QString loginName;  // the login name stored in this installation; "" when not stored
    QString deptPath;   // in this installation when stored there, else as the package gives it
    QString deptCode;   // the stored person's department code in this installation
    QString reason;
};

struct ImportReport {
    QList<ReportRow> rows;  // one per row of the package's person file, in file order
    std::array<int, OutcomeCount> counts{};
    QString summaryLine;  // the import's own summary line; "" when it logged none
    int result = 0;
    // A plan's report (a dry run): the outcomes are what an import would do, nothing stored.
    bool planned = false;
    ImportEnding ending;
    // False when the summary line's counts are not the report's (or there is no summary).
    bool summaryAgrees = false;

    int count(Outcome outcome) const { return counts[std::size_t(outcome)]; }
};

// The import's own summary line among the messages it logged ("人员导入结束: ..."); "" when it
// logged none.
QString summaryLine(const QStringList& log);

// The report from the import's account: each account row gives the outcome of the package row
// it names (a row of -1, or one that names no row of this PerUUID, takes the first such row
// not yet taken); package rows no account row takes were not ticked; an account row that
// takes no package row is listed after them. A person not stored without a reason of its own
// takes the ending's.
ImportReport composeReport(const PackageContents& package, const QList<AccountRow>& account,
                           const QSet<QString>& inTree, const QStringList& log, int result);

// The report of a plan (the frame's "ImportPlan" model: the same rows as an account, made
// before anything is stored), marked as planned.
ImportReport composePlannedReport(const PackageContents& package, const QList<AccountRow>& plan,
                                  const QSet<QString>& inTree);
// An outcome as a planned report shows it: 预计新增, 预计改名后新增, 预计已存在, 预计未导入;
// 未选中 as it is.
QString plannedLabel(Outcome outcome);

// The account with a note added to the reason of each row whose outcome, login name or
// department code is not what the plan made just before the import foresaw (the store
// changed in between): "与预演不同, 预演时预计: 改名后新增, 登录名 x". A row is matched with the
// plan's row at its place when both name the same PerUUID and package row.
QList<AccountRow> notedDepartures(QList<AccountRow> account, const QList<AccountRow>& plan);

// The report as CSV: UTF-8 with a byte order mark (so that a spreadsheet opens the Chinese
// text), CRLF line ends, the header row 人员编号,姓名,登录名,结果,部门路径,本系统部门编码,原因,
// one row per report row with its outcome as the window shows it (outcomeLabel, or plannedLabel
// for a planned report). A field holding a
// comma, a double quote or a line break is quoted with its quotes doubled; a field that a
// spreadsheet would take for a formula (leading =, +, -, @, tab or CR) gets a leading apostrophe.
QByteArray reportCsv(const ImportReport& report);
// Writes it to `file` through a temporary name; false with `error` set when it fails.
bool saveReportCsv(const ImportReport& report, const QString& file, QString* error = nullptr);

}  // namespace cvhost
