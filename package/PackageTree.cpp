#include "PackageTree.h"

#include <QFileInfo>
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

// Keeps the tree in update mode for the build and empties it when the build does not
// complete, so that a failed build never shows half a package.
class BuildScope {
public:
    explicit BuildScope(CheckTree& tree) : tree_(tree) { tree_.beginUpdate(); }
    ~BuildScope() {
        if (!completed_) tree_.clear();
        tree_.endUpdate();
    }
    void complete() { completed_ = true; }

private:
    CheckTree& tree_;
    bool completed_ = false;
};

bool loadDataSet(ClientDataSet& dataset, const QString& path, QString* why) {
    try {
        dataset.loadFromFile(path);
        return true;
    } catch (const std::exception& e) {
        if (why) *why = QStringLiteral("无法读取 %1: %2").arg(QFileInfo(path).fileName(), e.what());
        return false;
    }
}

TreeNode* newRoot() {
    TreeNode* root = NodeTree::newNode(RootText, makeRecord({{}, QStringLiteral("0"), {}, {}, {}}));
    root->imageIndex = DeptPicture;
    return root;
}

// A person node; `sourceRow` is the person's row in the person file.
void addPerson(CheckTree& tree, QTreeWidgetItem* parent, const QString& id, const QString& login,
               const QString& name, const QString& sex, qsizetype sourceRow) {
    heartbeat();
    TreeNode* node = tree.appendNode(
        parent, name, makeRecord({id, QStringLiteral("1"), login, name, NormalizedSex(sex)}));
    node->imageIndex = PersonPicture;
    node->selectedIndex = PersonPicture;
    node->sourceRow = sourceRow;
}

// The reference: each department's people through a dataset filter, in dataset order, node
// by node into the tree.
void addFiltered(CheckTree& tree, QTreeWidgetItem* parent, ClientDataSet& people,
                 const QString& filter) {
    people.setFilter(filter);
    people.setFiltered(true);
    for (people.first(); !people.eof(); people.next()) {
        addPerson(tree, parent, people.text(QStringLiteral("PerUUID")),
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

void fillFiltered(CheckTree& tree, ClientDataSet& depts, ClientDataSet& people) {
    TreeNode* root = newRoot();
    tree.addTopLevelItem(root);
    addFiltered(tree, root, people, QStringLiteral("PerDept=NULL"));
    DeptPlacer placer(tree, root);
    for (depts.first(); !depts.eof(); depts.next()) {
        const QString code = depts.text(QStringLiteral("DeptID"));
        QTreeWidgetItem* node = placer.PlaceDeptPath(code, depts.text(QStringLiteral("DeptName")));
        NodeTree::setImageIndex(node, DeptPicture);
        addFiltered(tree, node, people, equalsFilter(QStringLiteral("PerDept"), code));
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

    void addWithoutDept(CheckTree& tree, QTreeWidgetItem* parent) const {
        add(tree, parent, nulls_);
    }
    void addOf(CheckTree& tree, QTreeWidgetItem* parent, const QString& deptId) const {
        if (const int group = groups_.find(deptId); group >= 0)
            add(tree, parent, members_[std::size_t(group)]);
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
    void add(CheckTree& tree, QTreeWidgetItem* parent, const QList<qsizetype>& rows) const {
        for (qsizetype i : rows) {
            const Row& row = rows_[i];
            addPerson(tree, parent, text(row, uuid_, "PerUUID"), text(row, login_, "LoginName"),
                      text(row, name_, "PerName"), text(row, sex_, "PerSex"), i);
        }
    }

    const QList<Row>& rows_;
    int dept_, uuid_, login_, name_, sex_;
    TextGroups groups_;                      // PerDept texts, numbered
    std::vector<QList<qsizetype>> members_;  // each group's rows
    QList<qsizetype> nulls_;
};

// The nodes are made below a root that is not in the tree yet, where appending costs no
// model signal, and the root goes into the tree with all of them at the end.
void fillGrouped(CheckTree& tree, ClientDataSet& depts, ClientDataSet& people) {
    std::unique_ptr<TreeNode> root(newRoot());
    const PeopleByDept byDept(people);
    byDept.addWithoutDept(tree, root.get());
    DeptPlacer placer(tree, root.get());
    for (depts.first(); !depts.eof(); depts.next()) {
        const QString code = depts.text(QStringLiteral("DeptID"));
        QTreeWidgetItem* node = placer.PlaceDeptPath(code, depts.text(QStringLiteral("DeptName")));
        NodeTree::setImageIndex(node, DeptPicture);
        byDept.addOf(tree, node, code);
    }
    tree.addTopLevelItem(root.release());
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

DeptPlacer::DeptPlacer(CheckTree& tree, QTreeWidgetItem* root) : tree_(tree), root_(root) {}

bool DeptPlacer::FindDeptNode(const QString& prefix, QTreeWidgetItem*& current) const {
    const int level = int(prefix.size() / 4);
    if (level == 1) current = nullptr;
    if (QTreeWidgetItem* node = nodes_.value({level, prefix})) {
        current = node;
        return true;
    }
    if (level == 1) current = root_;
    return false;
}

QTreeWidgetItem* DeptPlacer::PlaceDeptPath(const QString& code, const QString& path) {
    QTreeWidgetItem* current = root_;
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
        TreeNode* node = tree_.appendNode(
            current, names[i], makeRecord({prefix, QStringLiteral("0"), names[i], {}, {}}));
        node->imageIndex = DeptPicture;
        nodes_.insert({++currentLevel, prefix}, node);
        current = node;
    }
    return current;
}

void FillPackageTree(CheckTree& tree, ClientDataSet& depts, ClientDataSet& people,
                     PackagePeople how) {
    BuildScope scope(tree);
    depts.setIndexFieldNames(QStringLiteral("DeptID"));
    if (how == PackagePeople::Filtered) {
        fillFiltered(tree, depts, people);
    } else {
        fillGrouped(tree, depts, people);
    }
    scope.complete();
    // Every node opened, laid out once with the caller's later closing to a level.
    tree.openAboveLevel(std::numeric_limits<int>::max());
}

bool BuildPackageTree(const QString& packageArgument, CheckTree& tree, QString* why) {
    return BuildPackageTreeWith(packageArgument, tree, PackagePeople::Grouped, why);
}

bool BuildPackageTreeWith(const QString& packageArgument, CheckTree& tree, PackagePeople how,
                          QString* why) {
    ClientDataSet depts;
    ClientDataSet people;
    tree.clear();
    const PackageFiles files = LocatePackageFiles(packageArgument, PackageJoin::Preview);
    if (!files.found()) {
        if (why) *why = files.reason;
        return false;
    }
    if (!loadDataSet(depts, files.deptFile, why) || !loadDataSet(people, files.personFile, why))
        return false;
    FillPackageTree(tree, depts, people, how);
    return true;
}

}  // namespace cv
