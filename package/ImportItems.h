// The items an import decides, read from a package's two dataset files: one for each ticked
// person node (the row it was made from, or the first row of its PerUUID), each with the
// department path the department file gives for its PerDept; then every department row of the
// file with a path and a code. The import and the plan of an import read them alike.
#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <utility>

#include "GetTickedPersons.h"
#include "ImportPlanner.h"
#include "PacketTable.h"

namespace cv {

struct PackageFiles;

struct ImportItems {
    QList<ImportItem> people;    // one per ticked node, in the order given
    QList<ImportItem> deptRows;  // in file order
};

// The same items made as they are asked for: the person file is held as a compact table (about
// its size on disk), and an import of a million people holds the items of the part it is at.
class ImportItemReader {
public:
    // Reads `files` (located, both present) for `ticked`; the answer as ReadImportItems's.
    QString open(const PackageFiles& files, const QList<TickedPerson>& ticked);
    qsizetype size() const { return ticked_.size(); }
    // The items of ticked people [from, from + count), in the order given.
    QList<ImportItem> people(qsizetype from, qsizetype count) const;
    QList<ImportItem> takeDeptRows() { return std::exchange(deptRows_, {}); }

private:
    enum Column : int;
    static constexpr int Columns = 7;
    ImportItem person(const TickedPerson& ticked) const;

    QList<TickedPerson> ticked_;
    PacketTable people_;
    int columns_[Columns] = {};
    QHash<QString, QString> deptPaths_;  // by code
    QList<ImportItem> deptRows_;
};

// Reads `files` (located, both present) for `ticked`. Empty when read; else why not, in
// plain words ("人员文件无法读取: ..."): a package whose department file is unreadable is
// refused as a whole rather than imported without departments.
QString ReadImportItems(const PackageFiles& files, const QList<TickedPerson>& ticked,
                        ImportItems& items);

}  // namespace cv
