// Department paths composed in memory: the names of a department's levels from the top down,
// joined by "_", taken from a table of names read once for a whole fetch instead of one
// look-up per level and department.
//
// The levels are those TCVPerson::GetDeptPathName walks: a code of fewer than eight
// characters is one level (the whole code); a longer code has one level per full four
// characters, the last level being the whole code, whatever its length.
#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

namespace cv {

// The codes whose names make up the path of `deptId`, from the top level down.
QStringList DeptPathCodes(const QString& deptId);

// The path of `deptId`; a code that `names` lacks has the empty name, as a department without
// a row has. Equal to GetDeptPathName's answer when `names` holds every department row.
QString ComposeDeptPath(const QString& deptId, const QHash<QString, QString>& names);

// The statement that reads the names of `codes` (one or more) in one go: DeptID and DeptName
// of every department row whose DeptID is among them.
QString DeptNamesSql(const QStringList& codes);

}  // namespace cv
