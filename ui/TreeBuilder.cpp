#include "TreeBuilder.h"

#include <optional>
#include <vector>

#include "CheckTree.h"
#include "ConnectionBroker.h"
#include "Database.h"
#include "Heartbeat.h"
#include "TextKeys.h"
#include "TextRows.h"

namespace cv {

namespace {

const QString RootText = QStringLiteral("部门信息");
const QString HiddenPerson = QStringLiteral("111111111111111111");
const QString HiddenNetworkedPerson = QStringLiteral("222222222222222222");

// Field positions of a statement's rows, found once per statement; a missing column is an
// error, as it is for a field looked up by name.
class Columns {
public:
    Columns(const TextRows& rows, std::initializer_list<const char*> names) {
        for (const char* name : names) {
            const int index = rows.indexOf(QLatin1String(name));
            if (index < 0) throw DbError(std::string("the tree query has no field ") + name);
            indexes_.append(index);
        }
    }
    const QString& text(const TextRows& rows, qsizetype row, int column) const {
        return rows.text(row, indexes_[column]);
    }
    int index(int column) const { return indexes_[column]; }

private:
    QList<int> indexes_;
};

// A person's record from row `row` of a person statement, read through `columns` (PerUUID,
// LoginName, PerName, PerSex).
NodeRecords::Ref addPersonRecord(NodeBuild& build, const TextRows& rows, qsizetype row,
                                 const Columns& columns) {
    return build.records().add(columns.text(rows, row, 0), u"1", columns.text(rows, row, 1),
                               columns.text(rows, row, 2), columns.text(rows, row, 3));
}

// A person's node, its text the record's PersonName, as the last child of `parent`.
void addPerson(NodeBuild& build, int parent, NodeRecords::Ref record) {
    heartbeat();
    build.add(parent, record, NodeText::PersonName, 1, 1);
}

void addPersons(NodeBuild& build, int parent, const TextRows& rows) {
    const Columns columns(rows, {"PerUUID", "LoginName", "PerName", "PerSex"});
    for (qsizetype row = 0; row < rows.size(); ++row)
        addPerson(build, parent, addPersonRecord(build, rows, row, columns));
}

// Where a department of `level` goes, given the department placed before it: a sibling of
// an equal level, a child of a shallower one, else the sibling of the ancestor as many
// levels up as it is shallower (the last child of the root when the climb runs past the top
// of the tree). -1: top level.
int deptParent(const NodeBuild& build, int root, int previous, int previousLevel, int level) {
    if (level == previousLevel) return build.parentOf(previous);
    if (level > previousLevel) return previous;
    if (const int ancestor = AncestorAt(build, previous, previousLevel - level); ancestor >= 0)
        return build.parentOf(ancestor);
    return root;
}

int addDept(NodeBuild& build, int parent, QStringView deptId, QStringView deptName) {
    return build.add(parent, build.records().add(deptId, u"0", deptName, {}, {}),
                     NodeText::NameOrLogin, 0);
}

// The nodes are made apart from the tree, which takes them all at the end, also when a
// failure ends the build early, so that the nodes built so far are in the tree.
template <typename Build>
bool buildInto(CheckTree& tree, Build build) {
    NodeBuild nodes;
    try {
        build(nodes);
    } catch (...) {
        tree.nodes().setNodes(std::move(nodes));
        throw;
    }
    tree.nodes().setNodes(std::move(nodes));
    return true;
}

int addRoot(NodeBuild& build) { return build.add(-1, RootText, NodeRecords::None, 0); }

// The departments in statement order below `root`, each placed by its level relative to the
// one before it; `addPeople(node, code)` hangs a department's people (the root's for the
// empty code).
template <typename AddPeople>
void addDepts(NodeBuild& build, int root, const TextRows& departments, AddPeople addPeople) {
    const Columns columns(departments, {"DeptID", "DeptName"});
    addPeople(root, QString());
    int previous = root;
    int previousLevel = 0;
    for (qsizetype row = 0; row < departments.size(); ++row) {
        const QString& deptId = columns.text(departments, row, 0);
        const int level = int(deptId.size() / 4);
        previous = addDept(build, deptParent(build, root, previous, previousLevel, level), deptId,
                           columns.text(departments, row, 1));
        previousLevel = level;
        addPeople(previous, deptId);
    }
}

// The reference build: the people of each department read by a statement of its own. `run`
// runs a statement, `personSql` makes the person statement of a department code.
template <typename Run, typename PersonSql>
bool buildTreePerDepartment(CheckTree& tree, Run run, PersonSql personSql) {
    const TextRows departments = run(DeptTreeSql(), {});
    return buildInto(tree, [&](NodeBuild& build) {
        addDepts(build, addRoot(build), departments, [&](int node, const QString& deptId) {
            addPersons(build, node, run(personSql(deptId), {}));
        });
    });
}

// The people of the one-read statement by department: the rows of each PerDept text, and
// the rows whose PerDept is NULL, who belong to every department and to the root as well.
// Row numbers keep the statement's order, which is PerName order.
class PeopleByDept {
public:
    // Each row as it is read, while its texts are still in the processor's caches, its
    // PerDept text in column `dept`; then finish once all are. Rows are numbered from 0 in
    // statement order.
    void add(TextRows& rows, qsizetype row, int dept) {
        if (rows.isNull(row, dept)) {
            nulls_.append(row);
            groupOfRow_.append(-1);
            return;
        }
        // The groups keep their own copies of the texts: each row's goes at once, and the
        // allocator hands its memory to the next rows' texts.
        const int group = groups_.add(rows.take(row, dept));
        if (group == sizes_.size()) sizes_.append(0);
        groupOfRow_.append(group);
        ++sizes_[group];
    }

    // Lays the rows out group after group: two passes, two arrays, whatever the number of
    // departments.
    void finish() {
        starts_.resize(sizes_.size() + 1);
        starts_[0] = 0;
        for (qsizetype g = 0; g < sizes_.size(); ++g) starts_[g + 1] = starts_[g] + sizes_[g];
        QList<qsizetype> next(starts_.cbegin(), starts_.cend() - 1);
        members_.resize(starts_.back());
        for (qsizetype i = 0; i < groupOfRow_.size(); ++i) {
            if (groupOfRow_[i] >= 0) members_[next[groupOfRow_[i]]++] = i;
        }
        groupOfRow_ = {};
        sizes_ = {};
    }

    // Calls `visit` with the row number of each person whom the person statement of
    // `deptId` lists (PerDept equal to it, or NULL), in statement order.
    template <typename Visit>
    void forEach(const QString& deptId, Visit visit) const {
        const int group = groups_.find(deptId);
        qsizetype a = group >= 0 ? starts_[group] : 0;
        const qsizetype aEnd = group >= 0 ? starts_[group + 1] : 0;
        qsizetype b = 0;
        while (a < aEnd || b < nulls_.size()) {
            if (b >= nulls_.size() || (a < aEnd && members_[a] < nulls_[b])) {
                visit(members_[a++]);
            } else {
                visit(nulls_[b++]);
            }
        }
    }

private:
    QList<int> groupOfRow_;     // while rows come: each row's group, -1 for NULL
    QList<qsizetype> sizes_;    // and each group's row count
    TextGroups groups_;         // PerDept texts, numbered
    QList<qsizetype> starts_;   // where each group's rows begin in members_
    QList<qsizetype> members_;  // row numbers, group after group, statement order within
    QList<qsizetype> nulls_;
};

// The build from rows read once, as texts: each person's group and record made as the row
// is read, while its texts are in the processor's caches, and the row then let go.
template <typename Run>
bool buildTreeOnce(CheckTree& tree, Run run, const QString& peopleSql) {
    const TextRows departments = run(DeptTreeSql(), {});
    Columns(departments, {"DeptID", "DeptName"});  // missing, they fail before the tree changes
    return buildInto(tree, [&](NodeBuild& build) {
        const int root = addRoot(build);
        // The nodes of a person listed more than once (no department: under every one) share
        // the record.
        PeopleByDept byDept;
        std::vector<NodeRecords::Ref> recordOfRow;
        std::optional<Columns> columns;
        const auto personFields = [](const TextRows& rows) {
            return Columns(rows, {"PerUUID", "LoginName", "PerName", "PerSex", "PerDept"});
        };
        const TextRows people = run(peopleSql, [&](TextRows& rows, qsizetype row) {
            if (!columns) columns.emplace(personFields(rows));
            byDept.add(rows, row, columns->index(4));
            recordOfRow.push_back(addPersonRecord(build, rows, row, *columns));
        });
        personFields(people);  // also where no row came
        byDept.finish();
        addDepts(build, root, departments, [&](int node, const QString& deptId) {
            byDept.forEach(deptId, [&](qsizetype row) {
                addPerson(build, node, recordOfRow[std::size_t(row)]);
            });
        });
    });
}

}  // namespace

QString DeptTreeSql() { return QStringLiteral("Select * From CV_DeptInfo Order By DeptID"); }

QString LocalPersonTreeSql(const QString& deptId) {
    return QStringLiteral("Select * from CV_PersonInfo where (PerDept = ") + sqlQuote(deptId) +
           QStringLiteral(" or PerDept Is Null) and (PerUUID <> ") + sqlQuote(HiddenPerson) +
           QStringLiteral(")  Order by PerName");
}

QString NetworkedPersonTreeSql(const QString& deptId) {
    return QStringLiteral("Select * from CV_PersonInfo where (PerDept = ") + sqlQuote(deptId) +
           QStringLiteral(" or PerDept Is Null) and (PerUUID <> ") + sqlQuote(HiddenPerson) +
           QStringLiteral(") and (PerUUID <> ") + sqlQuote(HiddenNetworkedPerson) +
           QStringLiteral(") Order by PerName");
}

int AncestorAt(const NodeBuild& build, int node, int count) {
    for (; node >= 0 && count > 0; --count) node = build.parentOf(node);
    return node;
}

QString LocalPeopleTreeSql() {
    return QStringLiteral(
               "Select PerUUID, LoginName, PerName, PerSex, PerDept from CV_PersonInfo where "
               "(PerUUID <> ") +
           sqlQuote(HiddenPerson) + QStringLiteral(") Order by PerName");
}

QString NetworkedPeopleTreeSql() {
    return QStringLiteral(
               "Select PerUUID, LoginName, PerName, PerSex, PerDept from CV_PersonInfo where "
               "(PerUUID <> ") +
           sqlQuote(HiddenPerson) + QStringLiteral(") and (PerUUID <> ") +
           sqlQuote(HiddenNetworkedPerson) + QStringLiteral(") Order by PerName");
}

namespace {

// The rows of a statement, read as texts: each handed to `onRow` as it comes and then let
// go, or, without `onRow`, all of them kept.
TextRows readLocal(Connection* connection, const QString& sql, const TextRowObserver& onRow) {
    if (connection == nullptr) throw DbError("the host's database connection is missing");
    return readTextRows(connection, sql, onRow, !onRow);
}

// The tree's statements go to the server's unnamed provider, as a dataset without a provider
// name sends them.
TextRows readNetworked(ConnectionBroker* broker, const QString& sql, const TextRowObserver& onRow) {
    if (broker == nullptr) throw DbError("the host's connection broker is missing");
    return broker->fetchTexts(QString(), sql, onRow, !onRow);
}

}  // namespace

bool BuildDeptPersonTree(CheckTree& tree, Connection* baseConnection, PersonReading reading) {
    const auto run = [baseConnection](const QString& sql, const TextRowObserver& onRow) {
        return readLocal(baseConnection, sql, onRow);
    };
    return reading == PersonReading::PerDepartment
               ? buildTreePerDepartment(tree, run, LocalPersonTreeSql)
               : buildTreeOnce(tree, run, LocalPeopleTreeSql());
}

bool BuildDeptPersonTree(CheckTree& tree, ConnectionBroker* broker, PersonReading reading) {
    const auto run = [broker](const QString& sql, const TextRowObserver& onRow) {
        return readNetworked(broker, sql, onRow);
    };
    return reading == PersonReading::PerDepartment
               ? buildTreePerDepartment(tree, run, NetworkedPersonTreeSql)
               : buildTreeOnce(tree, run, NetworkedPeopleTreeSql());
}

void AddDeptPersons(NodeBuild& build, int parent, const QString& deptId,
                    Connection* baseConnection) {
    addPersons(build, parent, readLocal(baseConnection, LocalPersonTreeSql(deptId), {}));
}

void AddDeptPersons(NodeBuild& build, int parent, const QString& deptId, ConnectionBroker* broker) {
    addPersons(build, parent, readNetworked(broker, NetworkedPersonTreeSql(deptId), {}));
}

}  // namespace cv
