// The department-person tree read from the host database: the root "部门信息" with the
// people who have no department, then every department in DeptID order, placed by the level
// of its code (four characters per level) relative to the department before it, each with
// its people in PerName order.
//
// Two variants, one per working style, build the same tree: the local one runs its
// statements on the host's connection, the networked one through the connection broker with
// no provider name, and also hides the person "222222222222222222". The person
// "111111111111111111" is never listed. A person whose PerDept is NULL is listed under the
// root and under every department.
//
// A department shallower than the one before it by more levels than that node has ancestors
// would climb past the top of the tree; it is placed as the last child of the root.
//
// Nothing is caught: a failing statement throws cv::DbError out of BuildDeptPersonTree (the
// query objects are released first) and the nodes built so far stay in the tree: with the
// people read once that is the tree as it was when the departments cannot be read, and the
// root alone when the people cannot. The tree is left collapsed with no check states set.
#pragma once

#include <QString>

namespace cv {

class CheckTree;
class NodeBuild;
class Connection;
class ConnectionBroker;

// How the builder reads the people: with one statement for all of them, grouped by
// department in memory (the default); or with one statement per department, kept as the
// reference the first is checked against. Both give the same tree; people of equal PerName
// may come in another order. Either way the nodes go into the tree in one change.
enum class PersonReading { Once, PerDepartment };

// Clears `tree` and builds the whole tree into it; true when the build completed.
bool BuildDeptPersonTree(CheckTree& tree, Connection* baseConnection,
                         PersonReading reading = PersonReading::Once);  // local variant
bool BuildDeptPersonTree(CheckTree& tree, ConnectionBroker* broker,
                         PersonReading reading = PersonReading::Once);  // networked variant

// Appends one person node per person of department `deptId` (the empty text for the root)
// as children of `parent` of `build`.
void AddDeptPersons(NodeBuild& build, int parent, const QString& deptId,
                    Connection* baseConnection);
void AddDeptPersons(NodeBuild& build, int parent, const QString& deptId, ConnectionBroker* broker);

// The node `count` parents above `node` of `build`; `node` itself for a count of 0 or less;
// -1 when the climb runs past the top of the tree.
int AncestorAt(const NodeBuild& build, int node, int count);

// The statements, as the host's servers know them.
QString DeptTreeSql();
QString LocalPersonTreeSql(const QString& deptId);
QString NetworkedPersonTreeSql(const QString& deptId);
// Every person the tree lists, whatever the department, in PerName order: the statements
// of one read.
QString LocalPeopleTreeSql();
QString NetworkedPeopleTreeSql();

}  // namespace cv
