#include "PackageTree.h"

#include <QFileInfo>
#include <QStringList>
#include <algorithm>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

#include "CheckTree.h"
#include "ClientDataSet.h"
#include "Heartbeat.h"
#include "PackageFiles.h"
#include "PacketTable.h"
#include "TextKeys.h"

namespace cv {
namespace {

constexpr int DeptPicture = 0;
constexpr int PersonPicture = 1;
const QString RootText = QStringLiteral("部门信息");

bool isBlankOrControl(QChar c) { return c.unicode() <= ' '; }

// Reads the dataset file at `path` through `read`; false, with the reason in `why` (when
// given), when it cannot be read as one.
template <typename Read>
bool load(const QString& path, QString* why, Read read) {
    try {
        read(path);
        return true;
    } catch (const std::exception& e) {
        if (why) *why = QStringLiteral("无法读取 %1: %2").arg(QFileInfo(path).fileName(), e.what());
        return false;
    }
}

int addRoot(NodeBuild& build) {
    return build.add(-1, RootText, build.records().add({}, u"0", {}, {}, {}), DeptPicture);
}

// A person node; `sourceRow` is the person's row in the person file.
void addPerson(NodeBuild& build, int parent, QStringView id, QStringView login, QStringView name,
               QStringView sex, qsizetype sourceRow) {
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

// A field of the person file (or the department file), or DbError where it is missing.
int field(const PacketTable& file, const char* name, const char* which = "person") {
    const int index = file.indexOf(QLatin1String(name));
    if (index < 0) throw DbError(std::string("the ") + which + " file has no field " + name);
    return index;
}

// The person rows by PerDept, in file order: for each text the rows that the filter
// "PerDept='text'" shows, and the rows that "PerDept=NULL" shows; one pass over the rows.
class PeopleByDept {
public:
    explicit PeopleByDept(const PacketTable& people) : people_(people) {
        const int dept = field(people, "PerDept");
        for (qsizetype row = 0; row < people.size(); ++row) {
            if (people.isNull(row, dept)) {
                nulls_.push_back(row);
                continue;
            }
            const int group = groups_.add(people.text(row, dept));
            if (std::size_t(group) == members_.size()) members_.emplace_back();
            members_[std::size_t(group)].push_back(row);
        }
    }

    void addWithoutDept(NodeBuild& build, int parent) const { add(build, parent, nulls_); }
    void addOf(NodeBuild& build, int parent, QStringView deptId) const {
        if (const int group = groups_.find(deptId); group >= 0)
            add(build, parent, members_[std::size_t(group)]);
    }

private:
    // A field that is missing fails once a person is shown, as a field read by name does.
    void add(NodeBuild& build, int parent, const std::vector<qsizetype>& rows) const {
        if (rows.empty()) return;
        const int id = field(people_, "PerUUID"), login = field(people_, "LoginName"),
                  name = field(people_, "PerName"), sex = field(people_, "PerSex");
        for (const qsizetype row : rows) {
            addPerson(build, parent, people_.text(row, id), people_.text(row, login),
                      people_.text(row, name), people_.text(row, sex), row);
        }
    }

    const PacketTable& people_;
    TextGroups groups_;                            // PerDept texts, numbered
    std::vector<std::vector<qsizetype>> members_;  // each group's rows
    std::vector<qsizetype> nulls_;
};

// The departments in DeptID order, as the dataset's index orders them: by UTF-16 units,
// rows of one code in file order.
void fillGrouped(NodeBuild& build, const PacketTable& depts, const PacketTable& people) {
    const int id = field(depts, "DeptID", "department");
    std::vector<qsizetype> order(std::size_t(depts.size()));
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](qsizetype a, qsizetype b) {
        return depts.text(a, id) < depts.text(b, id);
    });
    const int root = addRoot(build);
    const PeopleByDept byDept(people);
    byDept.addWithoutDept(build, root);
    DeptPlacer placer(build, root);
    for (const qsizetype row : order) {
        const QString code = depts.text(row, id).toString();
        const int name = field(depts, "DeptName", "department");
        byDept.addOf(build, placer.PlaceDeptPath(code, depts.text(row, name).toString()), code);
    }
}

}  // namespace

QStringView NormalizedSex(QStringView perSex) {
    qsizetype begin = 0;
    qsizetype end = perSex.size();
    while (begin < end && isBlankOrControl(perSex[begin])) ++begin;
    while (end > begin && isBlankOrControl(perSex[end - 1])) --end;
    return perSex.sliced(begin, end - begin) == u"男" ? u"男" : u"女";
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
template <typename Fill>
void fillTree(CheckTree& tree, Fill fill) {
    NodeBuild build;
    fill(build);
    tree.nodes().setNodes(std::move(build));
    // Every node opened, laid out once with the caller's later closing to a level.
    tree.openAboveLevel(std::numeric_limits<int>::max());
}

void FillPackageTree(CheckTree& tree, const PacketTable& depts, const PacketTable& people) {
    fillTree(tree, [&](NodeBuild& build) { fillGrouped(build, depts, people); });
}

void FillPackageTreeFiltered(CheckTree& tree, ClientDataSet& depts, ClientDataSet& people) {
    fillTree(tree, [&](NodeBuild& build) {
        depts.setIndexFieldNames(QStringLiteral("DeptID"));
        fillFiltered(build, depts, people);
    });
}

bool BuildPackageTree(const QString& packageArgument, CheckTree& tree, QString* why,
                      PackageFiles* located) {
    return BuildPackageTreeWith(packageArgument, tree, PackagePeople::Grouped, why, located);
}

bool BuildPackageTreeWith(const QString& packageArgument, CheckTree& tree, PackagePeople how,
                          QString* why, PackageFiles* located) {
    tree.nodes().clear();
    const PackageFiles files = LocatePackageFiles(packageArgument, PackageJoin::Preview);
    if (!files.found()) {
        if (why) *why = files.reason;
        return false;
    }
    if (how == PackagePeople::Filtered) {
        ClientDataSet depts;
        ClientDataSet people;
        const auto into = [](ClientDataSet& set) {
            return [&set](const QString& path) { set.loadFromFile(path); };
        };
        if (!load(files.deptFile, why, into(depts)) || !load(files.personFile, why, into(people)))
            return false;
        FillPackageTreeFiltered(tree, depts, people);
        if (located) *located = files;
        return true;
    }
    PacketTable depts;
    PacketTable people;
    const auto into = [](PacketTable& table) {
        return [&table](const QString& path) { table = PacketTable::read(path); };
    };
    if (!load(files.deptFile, why, into(depts)) || !load(files.personFile, why, into(people)))
        return false;
    FillPackageTree(tree, depts, people);
    if (located) *located = files;
    return true;
}

}  // namespace cv
