// The record attached to a node of every tree of the library: the database tree, the import
// preview tree and the target tree of the selection frame.
#pragma once

#include <QString>
#include <memory>

namespace cv {

struct TreeNodeData {
    QString ID;           // department code, or the person's PerUUID
    QString Kind;         // "0" department, "1" person; compared as whole texts
    QString NameOrLogin;  // DeptName, or the person's LoginName
    QString PersonName;   // empty for a department
    QString Sex;          // empty for a department
};

// Nodes hold their record through a shared pointer: the check tree's node owns it, and a node
// that the target tree copies from it refers to the same record. The record goes when the
// last node referring to it goes, so a copy never outlives what it points at.
using NodeRecord = std::shared_ptr<TreeNodeData>;

inline NodeRecord makeRecord(TreeNodeData data) {
    return std::make_shared<TreeNodeData>(std::move(data));
}

}  // namespace cv
