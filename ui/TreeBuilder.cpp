#include "TreeBuilder.h"

#include "CheckTree.h"
#include "ClientDataSet.h"
#include "ConnectionBroker.h"
#include "DataSet.h"
#include "Database.h"

namespace cv {

namespace {

const QString RootText = QStringLiteral("部门信息");
const QString HiddenPerson = QStringLiteral("111111111111111111");
const QString HiddenNetworkedPerson = QStringLiteral("222222222222222222");

// Runs one statement of the tree on the variant's connection. Each query object lives for
// one statement and is released before the rows are used (on failure too).
RowSet runLocal(Connection* connection, const QString& sql) {
    if (connection == nullptr) {
        throw DbError("the host's database connection is missing");
    }
    Query query;
    query.setConnection(connection);
    query.setCommandText(sql);
    query.open();
    RowSet rows = query.data();
    query.close();
    query.setConnection(nullptr);
    return rows;
}

RowSet runNetworked(ConnectionBroker* broker, const QString& sql) {
    if (broker == nullptr) {
        throw DbError("the host's connection broker is missing");
    }
    ClientDataSet dataSet;
    dataSet.setRemoteServer(broker);
    dataSet.setCommandText(sql);  // no provider name
    dataSet.open();
    RowSet rows = dataSet.data();
    dataSet.close();
    return rows;
}

// Field positions of a row set, found once per statement; a missing column is an error,
// as it is for a field looked up by name.
class Columns {
public:
    Columns(const RowSet& rows, std::initializer_list<const char*> names) {
        for (const char* name : names) {
            const int index = rows.indexOf(QLatin1String(name));
            if (index < 0) {
                throw DbError(std::string("the tree query has no field ") + name);
            }
            indexes_.append(index);
        }
    }
    QString text(const Row& row, int column) const {
        return valueText(row.value(indexes_[column]));
    }

private:
    QList<int> indexes_;
};

void addPersons(CheckTree& tree, QTreeWidgetItem* parent, const RowSet& rows) {
    const Columns columns(rows, {"PerUUID", "LoginName", "PerName", "PerSex"});
    for (const Row& row : rows.rows) {
        const QString name = columns.text(row, 2);
        TreeNode* node =
            tree.appendNode(parent, name,
                            makeRecord({columns.text(row, 0), QStringLiteral("1"),
                                        columns.text(row, 1), name, columns.text(row, 3)}));
        node->imageIndex = 1;
        node->selectedIndex = 1;
    }
}

// The build shared by both variants; `run` runs a statement, `personSql` makes the person
// statement of a department code.
template <typename Run, typename PersonSql>
bool buildTree(CheckTree& tree, Run run, PersonSql personSql) {
    const RowSet departments = run(DeptTreeSql());
    const Columns columns(departments, {"DeptID", "DeptName"});

    tree.beginUpdate();
    struct EndUpdate {
        CheckTree& tree;
        ~EndUpdate() { tree.endUpdate(); }
    } endUpdate{tree};

    tree.clear();
    TreeNode* root = tree.appendNode(nullptr, RootText);
    root->imageIndex = 0;
    addPersons(tree, root, run(personSql(QString())));

    QTreeWidgetItem* previous = root;
    int previousLevel = 0;
    for (const Row& row : departments.rows) {
        const QString deptId = columns.text(row, 0);
        const QString deptName = columns.text(row, 1);
        const int level = int(deptId.size() / 4);
        QTreeWidgetItem* parent;
        if (level == previousLevel) {
            parent = previous->parent();
        } else if (level > previousLevel) {
            parent = previous;
        } else if (QTreeWidgetItem* ancestor = AncestorAt(previous, previousLevel - level)) {
            parent = ancestor->parent();
        } else {
            parent = root;  // the climb ran past the top of the tree
        }
        TreeNode* node = tree.appendNode(
            parent, deptName, makeRecord({deptId, QStringLiteral("0"), deptName, {}, {}}));
        node->imageIndex = 0;
        addPersons(tree, node, run(personSql(deptId)));
        previous = node;
        previousLevel = level;
    }
    return true;
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

QTreeWidgetItem* AncestorAt(QTreeWidgetItem* node, int count) {
    for (; node != nullptr && count > 0; --count) {
        node = node->parent();
    }
    return node;
}

bool BuildDeptPersonTree(CheckTree& tree, Connection* baseConnection) {
    return buildTree(
        tree, [baseConnection](const QString& sql) { return runLocal(baseConnection, sql); },
        LocalPersonTreeSql);
}

bool BuildDeptPersonTree(CheckTree& tree, ConnectionBroker* broker) {
    return buildTree(
        tree, [broker](const QString& sql) { return runNetworked(broker, sql); },
        NetworkedPersonTreeSql);
}

void AddDeptPersons(CheckTree& tree, QTreeWidgetItem* parent, const QString& deptId,
                    Connection* baseConnection) {
    addPersons(tree, parent, runLocal(baseConnection, LocalPersonTreeSql(deptId)));
}

void AddDeptPersons(CheckTree& tree, QTreeWidgetItem* parent, const QString& deptId,
                    ConnectionBroker* broker) {
    addPersons(tree, parent, runNetworked(broker, NetworkedPersonTreeSql(deptId)));
}

}  // namespace cv
