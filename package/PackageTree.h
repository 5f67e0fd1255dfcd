// The import preview tree: the contents of a person package as a check tree. Departments are
// placed by their code (four characters per level) and named from their department path;
// people hang under their department, people without one under the root "部门信息".
#pragma once

#include <QHash>
#include <QString>
#include <utility>

class QTreeWidgetItem;

namespace cv {

class CheckTree;
class ClientDataSet;

// Builds the tree of the package named by `packageArgument` (found by the package version
// rule in the preview's form) into `tree`, which is cleared first, and expands it. False,
// with the tree left empty, when the package cannot be unpacked, a dataset file is missing
// or cannot be loaded. A file that loads but lacks a column the tree needs (PerUUID,
// PerDept, PerName, PerSex, LoginName; DeptID, DeptName) throws DbError, also with the tree
// left empty.
bool BuildPackageTree(const QString& packageArgument, CheckTree& tree);

// "男" when `perSex` is 男 once leading and trailing blanks and control characters are
// removed; "女" for anything else, NULL and the empty text included.
QString NormalizedSex(const QString& perSex);

// Places department nodes in a tree that holds the root "部门信息" as its first node.
//
// Nodes are found through a hash from (tree level, ID) to the node, filled as nodes are
// placed, so placing a department costs one look-up per level whatever the tree's size.
// Lookups ask only for a code prefix at the level its length gives (length div 4), and a
// node is created only when no node answers that question, so at most one node can answer
// each question: the first one placed is also the first one in list order.
class DeptPlacer {
public:
    // `tree` must hold the root; the nodes already below it are not indexed.
    explicit DeptPlacer(CheckTree& tree);

    // Creates the missing department nodes along `code`, named from the "_"-separated names
    // of `path` (an empty text between two underscores is a name), one level per name, and
    // returns the deepest node placed. A name beyond the code's levels reuses the node of
    // the whole code. A code shorter than four characters has no level in the hierarchy and
    // an empty path no name: such a department is the root itself.
    QTreeWidgetItem* PlaceDeptPath(const QString& code, const QString& path);

    // Whether a department node with ID `prefix` stands at tree level length(prefix) div 4;
    // if so `current` becomes that node. Otherwise, for a level-1 prefix, `current` becomes
    // the root (the parent a new level-1 department gets); for deeper ones it is unchanged.
    bool FindDeptNode(const QString& prefix, QTreeWidgetItem*& current) const;

private:
    CheckTree& tree_;
    QTreeWidgetItem* root_;
    QHash<std::pair<int, QString>, QTreeWidgetItem*> nodes_;
};

// Appends the person of the dataset's current row under `parent`.
void AddPackagePerson(CheckTree& tree, QTreeWidgetItem* parent, const ClientDataSet& people);

}  // namespace cv
