#include "PackageTree.h"

#include <QStringList>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "CheckTree.h"
#include "ClientDataSet.h"
#include "Heartbeat.h"
#include "PackageFiles.h"
#include "TextKeys.h"

namespace cv {
namespace {

constexpr int DeptPicture = 0;
constexpr int PersonPicture = 1;
const QString RootText = QStringLiteral("部门信息");

bool isBlankOrControl(QChar c) { return c.unicode() <= ' '; }

bool loadDataSet(ClientDataSet& dataset, const QString& path) {
    try {
        dataset.loadFromFile(path);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

int addRoot(NodeBuild& build) {
    return build.add(-1, RootText, build.records().add({}, u"0", {}, {}, {}), DeptPicture);
}

// A person node; `sourceRow` is the person's row in the person file.
void addPerson(NodeBuild& build, int parent, const QString& id, const QString& login,
               const QString& name, const QString& sex, qsizetype sourceRow) {
    heartbeat();
    const NodeRecords::Ref record =
        build.records().add(id, u"1", login, name, NormalizedSex(sex), sourceRow);
    build.add(parent, record, NodeText::PersonName, PersonPicture, PersonPicture);
}

// The reference: each department's people through a dataset filter, in dataset order.
void addFiltered(NodeBuild& build, int parent, ClientDataSet& people, const QString& filter) {
    people.setFilter(filter);
    people.setFiltered(true);
    for (people.first(); !people.eof(); people.next()) {
        addPerson(build, parent, people.text(QStringLiteral("PerUUID")),
                  people.text(QStringLiteral("LoginName")), people.text(QStringLiteral("PerName")),
                  people.text(QStringLiteral("PerSex")), people.rowNumber());
    }
}

// The filter expression that selects the rows whose `field` equals `value`.
QString equalsFilter(const QString& field, const QString& value) {
    QString quoted = value;
    quoted.replace('\'', QStringLiteral("''"));
    return field + "='" + quoted + '\'';
}

void fillFiltered(NodeBuild& build, ClientDataSet& depts, ClientDataSet& people) {
    const int root = addRoot(build);
    addFiltered(build, root, people, QStringLiteral("PerDept=NULL"));
    DeptPlacer placer(build, root);
    for (depts.first(); !depts.eof(); depts.next()) {
        const QString code = depts.text(QStringLiteral("DeptID"));
        const int node = placer.PlaceDeptPath(code, depts.text(QStringLiteral("DeptName")));
        addFiltered(build, node, people, equalsFilter(QStringLiteral("PerDept"), code));
    }
}

// The person rows by PerDept, in dataset order: for each text the rows that the filter
// "PerDept='text'" shows, and the rows that "PerDept=NULL" shows; one pass over the rows.
class PeopleByDept {
public:
    explicit PeopleByDept(const ClientDataSet& people)
        : rows_(people.data().rows),
          dept_(field(people, "PerDept")),
          uuid_(people.fieldIndex(QStringLiteral("PerUUID"))),
          login_(people.fieldIndex(QStringLiteral("LoginName"))),
          name_(people.fieldIndex(QStringLiteral("PerName"))),
          sex_(people.fieldIndex(QStringLiteral("PerSex"))) {
        for (qsizetype i = 0; i < rows_.size(); ++i) {
            const QVariant& cell = rows_[i][dept_];
            if (cell.isNull()) {
                nulls_.append(i);
            } else {
                const int group = groups_.add(valueText(cell));
                if (std::size_t(group) == members_.size()) members_.emplace_back();
                members_[std::size_t(group)].append(i);
            }
        }
    }

    void addWithoutDept(NodeBuild& build, int parent) const { add(build, parent, nulls_); }
    void addOf(NodeBuild& build, int parent, const QString& deptId) const {
        if (const int group = groups_.find(deptId); group >= 0)
            add(build, parent, members_[std::size_t(group)]);
    }

private:
    static int field(const ClientDataSet& people, const char* name) {
        const int index = people.fieldIndex(QLatin1String(name));
        if (index < 0) throw DbError(std::string("the person file has no field ") + name);
        return index;
    }
    // A field that is missing fails once a person is shown, as a field read by name does.
    static QString text(const Row& row, int field, const char* name) {
        if (field < 0) throw DbError(std::string("the person file has no field ") + name);
        return valueText(row[field]);
    }
    void add(NodeBuild& build, int parent, const QList<qsizetype>& rows) const {
        for (qsizetype i : rows) {
            const Row& row = rows_[i];
            addPerson(build, parent, text(row, uuid_, "PerUUID"), text(row, login_, "LoginName"),
                      text(row, name_, "PerName"), text(row, sex_, "PerSex"), i);
        }
    }

    const QList<Row>& rows_;
    int dept_, uuid_, login_, name_, sex_;
    TextGroups groups_;                      // PerDept texts, numbered
    std::vector<QList<qsizetype>> members_;  // each group's rows
    QList<qsizetype> nulls_;
};

void fillGrouped(NodeBuild& build, ClientDataSet& depts, ClientDataSet& people) {
    const int root = addRoot(build);
    const PeopleByDept byDept(people);
    byDept.addWithoutDept(build, root);
    DeptPlacer placer(build, root);
    for (depts.first(); !depts.eof(); depts.next()) {
        const QString code = depts.text(QStringLiteral("DeptID"));
        byDept.addOf(build, placer.PlaceDeptPath(code, depts.text(QStringLiteral("DeptName"))),
                     code);
    }
}

}  // namespace

QString NormalizedSex(const QString& perSex) {
    qsizetype begin = 0;
    qsizetype end = perSex.size();
    while (begin < end && isBlankOrControl(perSex[begin])) ++begin;
    while (end > begin && isBlankOrControl(perSex[end - 1])) --end;
    const QString male = QStringLiteral("男");
    return QStringView(perSex).sliced(begin, end - begin) == male ? male : QStringLiteral("女");
}

DeptPlacer::DeptPlacer(NodeBuild& build, int root) : build_(build), root_(root) {}

bool DeptPlacer::FindDeptNode(const QString& prefix, int& current) const {
    const int level = int(prefix.size() / 4);
    if (level == 1) current = -1;
    if (const int node = nodes_.value({level, prefix}, -1); node >= 0) {
        current = node;
        return true;
    }
    if (level == 1) current = root_;
    return false;
}

int DeptPlacer::PlaceDeptPath(const QString& code, const QString& path) {
    int current = root_;
    if (code.size() < 4 || path.isEmpty()) return current;
    int currentLevel = 0;  // of `current`, kept as the nodes are placed: no climb to the top
    const QStringList names = path.split('_');
    for (qsizetype i = 0; i < names.size(); ++i) {
        const QString prefix = code.left(4 * (i + 1));
        if (FindDeptNode(prefix, current)) {
            currentLevel = int(prefix.size() / 4);
            // Every further name finds this node of the whole code again.
            if (prefix.size() == code.size()) break;
            continue;
        }
        if (current == root_) currentLevel = 0;
        if (currentLevel >= MaxDeptLevels) {
            throw DbError(QStringLiteral("the department %1 would stand more than %2 levels deep")
                              .arg(code.left(40))
                              .arg(MaxDeptLevels)
                              .toStdString());
        }
        current = build_.add(current, build_.records().add(prefix, u"0", names[i], {}, {}),
                             NodeText::NameOrLogin, DeptPicture);
        nodes_.insert({++currentLevel, prefix}, current);
    }
    return current;
}

// The nodes go into the tree in one change once all are made: a build that fails leaves the
// tree as it was, empty.
void FillPackageTree(CheckTree& tree, ClientDataSet& depts, ClientDataSet& people,
                     PackagePeople how) {
    NodeBuild build;
    depts.setIndexFieldNames(QStringLiteral("DeptID"));
    if (how == PackagePeople::Filtered) {
        fillFiltered(build, depts, people);
    } else {
        fillGrouped(build, depts, people);
    }
    tree.nodes().setNodes(std::move(build));
    // Every node opened, laid out once with the caller's later closing to a level.
    tree.openAboveLevel(std::numeric_limits<int>::max());
}

bool BuildPackageTree(const QString& packageArgument, CheckTree& tree) {
    return BuildPackageTreeWith(packageArgument, tree, PackagePeople::Grouped);
}

bool BuildPackageTreeWith(const QString& packageArgument, CheckTree& tree, PackagePeople how) {
    ClientDataSet depts;
    ClientDataSet people;
    tree.nodes().clear();
    const PackageFiles files = LocatePackageFiles(packageArgument, PackageJoin::Preview);
    if (!files.found()) return false;
    if (!loadDataSet(depts, files.deptFile) || !loadDataSet(people, files.personFile)) return false;
    FillPackageTree(tree, depts, people, how);
    return true;
}

}  // namespace cv
