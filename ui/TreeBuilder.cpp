#include "TreeBuilder.h"

#include <optional>
#include <vector>

#include "CheckTree.h"
#include "ClientDataSet.h"
#include "ConnectionBroker.h"
#include "DataSet.h"
#include "Database.h"
#include "Heartbeat.h"
#include "TextKeys.h"

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

// Field positions of a statement's rows, found once per statement; a missing column is an
// error, as it is for a field looked up by name.
class Columns {
public:
    template <typename Rows>
    Columns(const Rows& rows, std::initializer_list<const char*> names) {
        for (const char* name : names) {
            const int index = rows.indexOf(QLatin1String(name));
            if (index < 0) {
                throw DbError(std::string("the tree query has no field ") + name);
            }
            indexes_.append(index);
        }
    }
    QString text(const Row& row, int column) const { return textOf(row.at(indexes_[column])); }
    const QString& text(const TextRows& rows, qsizetype row, int column) const {
        return rows.text(row, indexes_[column]);
    }
    QString take(TextRows& rows, qsizetype row, int column) const {
        return rows.take(row, indexes_[column]);
    }
    int index(int column) const { return indexes_[column]; }

    // valueText without copying the value first; texts, which is what the tree's columns
    // hold, are shared rather than converted.
    static QString textOf(const QVariant& value) {
        if (value.metaType() == QMetaType::fromType<QString>()) {
            return *static_cast<const QString*>(value.constData());
        }
        return valueText(value);
    }

private:
    QList<int> indexes_;
};

TreeNodeData personRecord(QString id, QString login, QString name, QString sex) {
    return {std::move(id), QStringLiteral("1"), std::move(login), std::move(name), std::move(sex)};
}

// A person's node, its text the record's PersonName, as the last child of `parent` (of the
// tree when null).
void addPerson(CheckTree& tree, QTreeWidgetItem* parent, NodeRecord record) {
    heartbeat();
    auto* node = new TreeNode(std::move(record), TreeNode::PersonNameText{});
    node->imageIndex = 1;
    node->selectedIndex = 1;
    if (parent != nullptr) {
        parent->addChild(node);
    } else {
        tree.addTopLevelItem(node);
    }
}

void addPersons(CheckTree& tree, QTreeWidgetItem* parent, const RowSet& rows) {
    const Columns columns(rows, {"PerUUID", "LoginName", "PerName", "PerSex"});
    for (const Row& row : rows.rows) {
        addPerson(tree, parent,
                  makeRecord(personRecord(columns.text(row, 0), columns.text(row, 1),
                                          columns.text(row, 2), columns.text(row, 3))));
    }
}

// Where a department of `level` goes, given the department placed before it: a sibling of
// an equal level, a child of a shallower one, else the sibling of the ancestor as many
// levels up as it is shallower (the last child of the root when the climb runs past the top
// of the tree). Null: top level.
QTreeWidgetItem* deptParent(QTreeWidgetItem* root, QTreeWidgetItem* previous, int previousLevel,
                            int level) {
    if (level == previousLevel) return previous->parent();
    if (level > previousLevel) return previous;
    if (QTreeWidgetItem* ancestor = AncestorAt(previous, previousLevel - level))
        return ancestor->parent();
    return root;
}

TreeNode* addDept(CheckTree& tree, QTreeWidgetItem* parent, const QString& deptId,
                  const QString& deptName) {
    TreeNode* node = tree.appendNode(
        parent, deptName, makeRecord({deptId, QStringLiteral("0"), deptName, {}, {}}));
    node->imageIndex = 0;
    return node;
}

// The reference build: node by node into the tree, the people of each department read by a
// statement of its own. `run` runs a statement, `personSql` makes the person statement of a
// department code.
template <typename Run, typename PersonSql>
bool buildTreePerDepartment(CheckTree& tree, Run run, PersonSql personSql) {
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
        const int level = int(deptId.size() / 4);
        TreeNode* node = addDept(tree, deptParent(root, previous, previousLevel, level), deptId,
                                 columns.text(row, 1));
        addPersons(tree, node, run(personSql(deptId)));
        previous = node;
        previousLevel = level;
    }
    return true;
}

// The records of one build's people, held a chunk at a time: one allocation per chunk rather
// than per person, and a node copied out of the tree that outlives it keeps one chunk alive,
// not the whole build's.
class RecordChunks {
public:
    NodeRecord add(TreeNodeData data) {
        if (!chunk_ || chunk_->size() == ChunkSize) {
            chunk_ = std::make_shared<std::vector<TreeNodeData>>();
            chunk_->reserve(ChunkSize);  // never grown past: the records must not move
        }
        chunk_->push_back(std::move(data));
        return NodeRecord(chunk_, &chunk_->back());
    }

private:
    static constexpr std::size_t ChunkSize = 256;
    std::shared_ptr<std::vector<TreeNodeData>> chunk_;
};

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

// The build from rows read once, as texts. The nodes are made apart from the tree, where
// appending costs no model signal, and hung into it in one insertion when the build ends,
// also when a failure ends it early, so that the nodes built so far are in the tree.
template <typename Run>
bool buildTreeOnce(CheckTree& tree, Run run, const QString& peopleSql) {
    const TextRows departments = run(DeptTreeSql());
    const Columns deptColumns(departments, {"DeptID", "DeptName"});

    tree.beginUpdate();
    struct HangIn {
        CheckTree& tree;
        QList<QTreeWidgetItem*> topLevel;
        ~HangIn() {
            tree.addTopLevelItems(topLevel);
            tree.endUpdate();
        }
    } built{tree, {}};

    tree.clear();
    TreeNode* root = NodeTree::newNode(RootText);
    root->imageIndex = 0;
    built.topLevel.append(root);

    // Each row, as it is read: its group, and its record, the texts moved out of the rows.
    // The nodes of a person listed more than once (no department: under every one) share it.
    PeopleByDept byDept;
    RecordChunks chunks;
    std::vector<NodeRecord> recordOfRow;
    std::optional<Columns> personColumns;
    const auto personFields = [](const TextRows& rows) {
        return Columns(rows, {"PerUUID", "LoginName", "PerName", "PerSex", "PerDept"});
    };
    TextRows people = run(peopleSql, [&](TextRows& rows, qsizetype row) {
        if (!personColumns) personColumns.emplace(personFields(rows));
        byDept.add(rows, row, personColumns->index(4));
        recordOfRow.push_back(chunks.add(
            personRecord(personColumns->take(rows, row, 0), personColumns->take(rows, row, 1),
                         personColumns->take(rows, row, 2), personColumns->take(rows, row, 3))));
    });
    personFields(people);  // also where no row came
    byDept.finish();
    const auto addPeople = [&](QTreeWidgetItem* parent, const QString& deptId) {
        byDept.forEach(
            deptId, [&](qsizetype row) { addPerson(tree, parent, recordOfRow[std::size_t(row)]); });
    };
    addPeople(root, QString());

    QTreeWidgetItem* previous = root;
    int previousLevel = 0;
    for (qsizetype row = 0; row < departments.size(); ++row) {
        const QString& deptId = deptColumns.text(departments, row, 0);
        const QString& deptName = deptColumns.text(departments, row, 1);
        const int level = int(deptId.size() / 4);
        QTreeWidgetItem* parent = deptParent(root, previous, previousLevel, level);
        TreeNode* node;
        if (parent != nullptr) {
            node = addDept(tree, parent, deptId, deptName);
        } else {
            node = NodeTree::newNode(deptName,
                                     makeRecord({deptId, QStringLiteral("0"), deptName, {}, {}}));
            node->imageIndex = 0;
            built.topLevel.append(node);
        }
        addPeople(node, deptId);
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

bool BuildDeptPersonTree(CheckTree& tree, Connection* baseConnection, PersonReading reading) {
    if (reading == PersonReading::PerDepartment) {
        const auto run = [baseConnection](const QString& sql) {
            return runLocal(baseConnection, sql);
        };
        return buildTreePerDepartment(tree, run, LocalPersonTreeSql);
    }
    const auto texts = [baseConnection](const QString& sql, const TextRowObserver& onRow = {}) {
        if (baseConnection == nullptr) throw DbError("the host's database connection is missing");
        return readTextRows(baseConnection, sql, onRow);
    };
    return buildTreeOnce(tree, texts, LocalPeopleTreeSql());
}

bool BuildDeptPersonTree(CheckTree& tree, ConnectionBroker* broker, PersonReading reading) {
    if (reading == PersonReading::PerDepartment) {
        const auto run = [broker](const QString& sql) { return runNetworked(broker, sql); };
        return buildTreePerDepartment(tree, run, NetworkedPersonTreeSql);
    }
    // The tree's statements go to the server's unnamed provider, as a dataset without a
    // provider name sends them.
    const auto texts = [broker](const QString& sql, const TextRowObserver& onRow = {}) {
        if (broker == nullptr) throw DbError("the host's connection broker is missing");
        return broker->fetchTexts(QString(), sql, onRow);
    };
    return buildTreeOnce(tree, texts, NetworkedPeopleTreeSql());
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
