// The record attached to a node of every tree of the library, as values: what a record is made
// from and what reading a whole record gives. Trees hold their records in NodeRecords.
#pragma once

#include <QString>

namespace cv {

struct TreeNodeData {
    QString ID;           // department code, or the person's PerUUID
    QString Kind;         // "0" department, "1" person; compared as whole texts
    QString NameOrLogin;  // DeptName, or the person's LoginName
    QString PersonName;   // empty for a department
    QString Sex;          // empty for a department
};

}  // namespace cv
