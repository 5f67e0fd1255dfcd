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

int PersonTicks::ticked() const {
    int total = 0;
    for (int count : ticks) total += count;
    return total;
}

PersonTicks personTicks(QWidget* panel) {
    PersonTicks result;
    QTreeView* tree = embeddedTree(panel);
    if (!tree) return result;
    forEachIndex(*tree->model(), [&](const QModelIndex& index) {
        if (index.data(Qt::UserRole + 1).toString() != QLatin1String("1")) return;
        const QString id = index.data(Qt::UserRole).toString();
        result.inTree.insert(id);
        // A tree without tick boxes (import everything) has every node checked.
        const QVariant state = index.data(Qt::CheckStateRole);
        if (!state.isValid() || state.toInt() == Qt::Checked) ++result.ticks[id];
    });
    return result;
}

}  // namespace corvane
