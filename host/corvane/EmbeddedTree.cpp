#include "EmbeddedTree.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QKeyEvent>
#include <QTreeView>
#include <vector>

namespace corvane {

QTreeView* embeddedTree(QWidget* panel) {
    auto* tree = panel->findChild<QTreeView*>("CTDeptPerson");
    return tree ? tree : panel->findChild<QTreeView*>();
}

// An explicit stack of the rows still to visit: no recursion however deep the tree.
void forEachIndex(const QAbstractItemModel& model,
                  const std::function<void(const QModelIndex&)>& visit) {
    struct Open {
        QModelIndex parent;
        int next;
        int count;
    };
    std::vector<Open> stack{{QModelIndex(), 0, model.rowCount()}};
    while (!stack.empty()) {
        Open& open = stack.back();
        if (open.next >= open.count) {
            stack.pop_back();
            continue;
        }
        const QModelIndex index = model.index(open.next++, 0, open.parent);
        visit(index);
        if (const int children = model.rowCount(index); children > 0)
            stack.push_back({index, 0, children});
    }
}

QStringList untick(QWidget* panel, const QStringList& ids) {
    QTreeView* tree = embeddedTree(panel);
    // Unticking changes no row: the indexes stay valid.
    QHash<QString, QModelIndex> nodes;
    if (tree)
        forEachIndex(*tree->model(), [&](const QModelIndex& index) {
            // A person listed under several departments: the first node in list order.
            const QString id = index.data(Qt::UserRole).toString();
            if (!nodes.contains(id)) nodes.insert(id, index);
        });
    QStringList missing;
    for (const QString& id : ids) {
        const QModelIndex found = nodes.value(id);
        if (!found.isValid()) {
            missing << id;
            continue;
        }
        tree->setFocus();
        tree->setCurrentIndex(found);
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, " ");
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_Space, Qt::NoModifier, " ");
        QApplication::sendEvent(tree, &press);
        QApplication::sendEvent(tree, &release);
    }
    return missing;
}

namespace {

bool isPerson(const QModelIndex& index) {
    return index.data(Qt::UserRole + 1).toString() == QLatin1String("1");
}

}  // namespace

QSet<QString> peopleInTree(QWidget* panel) {
    QTreeView* tree = embeddedTree(panel);
    if (!tree) return {};
    // Gathered first and hashed once: a set grown node by node hashes every text again at
    // each growth, and the tree may hold 100,000 people.
    QStringList ids;
    forEachIndex(*tree->model(), [&](const QModelIndex& index) {
        if (isPerson(index)) ids.append(index.data(Qt::UserRole).toString());
    });
    QSet<QString> people;
    people.reserve(ids.size());
    for (const QString& id : ids) people.insert(id);
    return people;
}

int tickedPeople(QWidget* panel) {
    QTreeView* tree = embeddedTree(panel);
    if (!tree) return 0;
    int ticked = 0;
    forEachIndex(*tree->model(), [&](const QModelIndex& index) {
        if (!isPerson(index)) return;
        const QVariant state = index.data(Qt::CheckStateRole);
        if (!state.isValid() || state.toInt() == Qt::Checked) ++ticked;
    });
    return ticked;
}

}  // namespace corvane
