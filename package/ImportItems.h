// The items an import decides, read from a package's two dataset files: one for each ticked
// person node (the row it was made from, or the first row of its PerUUID), each with the
// department path the department file gives for its PerDept; then every department row of the
// file with a path and a code. The import and the plan of an import read them alike.
#pragma once

#include <QList>
#include <QString>

#include "GetTickedPersons.h"
#include "ImportPlanner.h"

namespace cv {

struct PackageFiles;

struct ImportItems {
    QList<ImportItem> people;    // one per ticked node, in the order given
    QList<ImportItem> deptRows;  // in file order
};

// Reads `files` (located, both present) for `ticked`. Empty when read; else why not, in
// plain words ("人员文件无法读取: ..."): a package whose department file is unreadable is
// refused as a whole rather than imported without departments.
QString ReadImportItems(const PackageFiles& files, const QList<TickedPerson>& ticked,
                        ImportItems& items);

}  // namespace cv
