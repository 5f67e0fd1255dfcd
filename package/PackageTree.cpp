#include "PackageTree.h"

#include <QStringList>

#include "CheckTree.h"
#include "ClientDataSet.h"
#include "PackageFiles.h"

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

bool loadDataSet(ClientDataSet& dataset, const QString& path) {
    try {
        dataset.loadFromFile(path);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// The filter expression that selects the rows whose `field` equals `value`.
QString equalsFilter(const QString& field, const QString& value) {
    QString quoted = value;
    quoted.replace('\'', QStringLiteral("''"));
    return field + "='" + quoted + '\'';
}

void addPeople(CheckTree& tree, QTreeWidgetItem* parent, ClientDataSet& people,
               const QString& filter) {
    people.setFilter(filter);
    people.setFiltered(true);
    for (people.first(); !people.eof(); people.next()) AddPackagePerson(tree, parent, people);
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

void AddPackagePerson(CheckTree& tree, QTreeWidgetItem* parent, const ClientDataSet& people) {
    const QString name = people.text(QStringLiteral("PerName"));
    TreeNode* node =
        tree.appendNode(parent, name,
                        makeRecord({people.text(QStringLiteral("PerUUID")), QStringLiteral("1"),
                                    people.text(QStringLiteral("LoginName")), name,
                                    NormalizedSex(people.text(QStringLiteral("PerSex")))}));
    node->imageIndex = PersonPicture;
    node->selectedIndex = PersonPicture;
    node->sourceRow = people.rowNumber();
}

DeptPlacer::DeptPlacer(CheckTree& tree) : tree_(tree), root_(tree.firstNode()) {}

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
    const QStringList names = path.split('_');
    for (qsizetype i = 0; i < names.size(); ++i) {
        const QString prefix = code.left(4 * (i + 1));
        if (FindDeptNode(prefix, current)) continue;
        TreeNode* node = tree_.appendNode(
            current, names[i], makeRecord({prefix, QStringLiteral("0"), names[i], {}, {}}));
        node->imageIndex = DeptPicture;
        nodes_.insert({NodeTree::level(node), prefix}, node);
        current = node;
    }
    return current;
}

bool BuildPackageTree(const QString& packageArgument, CheckTree& tree) {
    ClientDataSet depts;
    ClientDataSet people;
    tree.clear();
    BuildScope scope(tree);

    const PackageFiles files = LocatePackageFiles(packageArgument, PackageJoin::Preview);
    if (!files.found()) return false;
    if (!loadDataSet(depts, files.deptFile) || !loadDataSet(people, files.personFile)) return false;
    depts.setIndexFieldNames(QStringLiteral("DeptID"));

    TreeNode* root =
        tree.appendNode(nullptr, RootText, makeRecord({{}, QStringLiteral("0"), {}, {}, {}}));
    root->imageIndex = DeptPicture;
    addPeople(tree, root, people, QStringLiteral("PerDept=NULL"));

    DeptPlacer placer(tree);
    for (depts.first(); !depts.eof(); depts.next()) {
        const QString code = depts.text(QStringLiteral("DeptID"));
        QTreeWidgetItem* node = placer.PlaceDeptPath(code, depts.text(QStringLiteral("DeptName")));
        NodeTree::setImageIndex(node, DeptPicture);
        addPeople(tree, node, people, equalsFilter(QStringLiteral("PerDept"), code));
    }
    scope.complete();
    // Node by node rather than QTreeView::expandAll: while the view's layout is still
    // pending this only records the expanded nodes, so that the caller's later collapse to
    // a level costs no relayout per node.
    tree.forEachNode([](QTreeWidgetItem* node, int) {
        if (node->childCount() > 0) node->setExpanded(true);
    });
    return true;
}

}  // namespace cv
