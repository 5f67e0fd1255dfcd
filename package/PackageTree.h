// The import preview tree: the contents of a person package as a check tree. Departments are
// placed by their code (four characters per level) and named from their department path;
// people hang under their department, people without one under the root "部门信息".
#pragma once

#include <QHash>
#include <QString>
#include <utility>

namespace cv {

class CheckTree;
class ClientDataSet;
class NodeBuild;
class PacketTable;
struct PackageFiles;

// Builds the tree of the package named by `packageArgument` (found by the package version
// rule in the preview's form) into `tree`, which is cleared first, and expands it. False,
// with the tree left empty, when the package cannot be unpacked, a dataset file is missing
// or cannot be loaded. A file that loads but lacks a column the tree needs (PerDept, DeptID
// always; PerUUID, PerName, PerSex, LoginName once a person is shown; DeptName once a
// department is) throws DbError, also with the tree left empty. `why`, when given, gets the
// reason of a false answer in plain words (the reader's own after them). `located`, when
// given, gets the files the tree was read from (an unpacked package's folder held with them).
bool BuildPackageTree(const QString& packageArgument, CheckTree& tree, QString* why = nullptr,
                      PackageFiles* located = nullptr);

// How the people are hung under their departments: the files read as compact tables and the
// people grouped by PerDept in one pass (what BuildPackageTree does); or the files loaded as
// datasets and each department's people found through a filter, kept as the reference the
// first is checked against. Both give the same tree.
enum class PackagePeople { Grouped, Filtered };
bool BuildPackageTreeWith(const QString& packageArgument, CheckTree& tree, PackagePeople how,
                          QString* why = nullptr, PackageFiles* located = nullptr);

// The tree of a package's two files into the empty `tree`, expanded; the first the way
// BuildPackageTree reads them, the second the reference. Throw as BuildPackageTree does,
// leaving the tree empty.
void FillPackageTree(CheckTree& tree, const PacketTable& depts, const PacketTable& people);
void FillPackageTreeFiltered(CheckTree& tree, ClientDataSet& depts, ClientDataSet& people);

// "男" when `perSex` is 男 once leading and trailing blanks and control characters are
// removed; "女" for anything else, NULL and the empty text included.
QStringView NormalizedSex(QStringView perSex);

// Places department nodes below the root "部门信息" of a package tree being built.
//
// Nodes are found through a hash from (tree level, ID) to the node, filled as nodes are
// placed, so placing a department costs one look-up per level whatever the tree's size.
// Lookups ask only for a code prefix at the level its length gives (length div 4), and a
// node is created only when no node answers that question, so at most one node can answer
// each question: the first one placed is also the first one in list order.
class DeptPlacer {
public:
    // The nodes already below `root` are not indexed.
    DeptPlacer(NodeBuild& build, int root);

    // Creates the missing department nodes along `code`, named from the "_"-separated names
    // of `path` (an empty text between two underscores is a name), one level per name, and
    // returns the deepest node placed. A name beyond the code's levels reuses the node of
    // the whole code. A code shorter than four characters has no level in the hierarchy and
    // an empty path no name: such a department is the root itself.
    // Throws DbError rather than place a department deeper than MaxDeptLevels.
    int PlaceDeptPath(const QString& code, const QString& path);

    // No installation has departments this deep (the host's DeptID holds 60 characters, 15
    // levels); a package from elsewhere might, by a code of megabytes or a path of as many
    // names, and a chain of nodes that deep would outlast the stack that frees it.
    static constexpr int MaxDeptLevels = 1024;

    // Whether a department node with ID `prefix` stands at tree level length(prefix) div 4;
    // if so `current` becomes that node. Otherwise, for a level-1 prefix, `current` becomes
    // the root (the parent a new level-1 department gets); for deeper ones it is unchanged.
    bool FindDeptNode(const QString& prefix, int& current) const;

private:
    NodeBuild& build_;
    int root_;
    QHash<std::pair<int, QString>, int> nodes_;
};

}  // namespace cv
