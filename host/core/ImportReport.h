// The host's report of one import: what became of each person of the package, worked out from
// what the host can see around the plug-in's import: the package's person rows, which of them
// the user ticked, which of their PerUUIDs the store held before, the people it holds after,
// and the lines the import logged. `corvane import --report` and the main window's report
// pane both go through ImportWatch, so the two always agree.
//
// Deciding (composeReport) is kept apart from reading (readPackage, the store look-ups), so
// that the rules can be checked on any made-up observation.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <array>

namespace cv {
class Connection;
}

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
// regard to letter case. Throws std::runtime_error when the package cannot be read.
PackageContents readPackage(const QString& package);

enum class Outcome { Inserted, Renamed, Present, NotTicked, NotStored };
constexpr int OutcomeCount = 5;
// "inserted", "renamed", "present", "not ticked", "not stored": the CSV's words.
QString outcomeName(Outcome outcome);
// The same in the interface's words: 新增, 改名后新增, 已存在, 未选中, 未导入.
QString outcomeLabel(Outcome outcome);

struct StoredPerson {
    QString loginName;
    QString perDept;
};

// Everything the host saw around one import.
struct ImportObservation {
    PackageContents package;
    QHash<QString, int> ticks;    // PerUUID → ticked person nodes of the preview tree
    QSet<QString> inTree;         // PerUUIDs that have a node in the preview tree at all
    QSet<QString> presentBefore;  // the package's PerUUIDs stored before the import
    QHash<QString, StoredPerson> storedAfter;  // the package's PerUUIDs stored after it
    QHash<QString, QString> deptPaths;         // code → path in this installation
    QStringList log;                           // the messages the import logged
    int result = 0;                            // what CVPackage_Import answered
};

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

    int count(Outcome outcome) const { return counts[std::size_t(outcome)]; }
};

// The import's own summary line among the messages it logged ("人员导入结束: ..."); "" when it
// logged none.
QString summaryLine(const QStringList& log);

// The rules, one row of the package at a time (people handled in file order):
// - not ticked: no ticked node is left for the row (a PerUUID ticked k times covers its first
//   k rows);
// - present: stored before the import, or already stored by an earlier row of this package;
// - inserted / renamed: stored now, with the package's login name or another one;
// - not stored: ticked and not stored, with the reason the import logged for the person, or
//   the reason its last lines give for everyone (cancelled, package changed, failed).
ImportReport composeReport(const ImportObservation& seen);

// Which of `ids` the store holds; and those people's login names and departments; and the
// department paths of `codes` in the store. Read in batches; throw cv::DbError.
QSet<QString> storedIds(cv::Connection& store, const QStringList& ids);
QHash<QString, StoredPerson> storedPeople(cv::Connection& store, const QStringList& ids);
QHash<QString, QString> departmentPaths(cv::Connection& store, const QSet<QString>& codes);

// The report as CSV: UTF-8 with a byte order mark (so that a spreadsheet opens the Chinese
// text), CRLF line ends, a header row, one row per report row. A field holding a comma, a
// double quote or a line break is quoted with its quotes doubled; a field that a spreadsheet
// would take for a formula (leading =, +, -, @, tab or CR) gets a leading apostrophe.
QByteArray reportCsv(const ImportReport& report);
// Writes it to `file` through a temporary name; false with `error` set when it fails.
bool saveReportCsv(const ImportReport& report, const QString& file, QString* error = nullptr);

// One import watched from the host: create it just before CVPackage_Import (it reads the
// package and which of its people the store holds), call finish() right after. `store` names
// the database the import writes to (an SQLite file or a postgresql:// URL).
class ImportWatch {
public:
    // Throws std::runtime_error (package unreadable) or cv::DbError (store).
    ImportWatch(const QString& package, const QString& store, QHash<QString, int> ticks,
                QSet<QString> inTree);
    // Throws cv::DbError when the store cannot be read.
    ImportReport finish(const QStringList& log, int result);

    const PackageContents& package() const { return seen_.package; }

private:
    QString store_;
    ImportObservation seen_;
};

}  // namespace cvhost
