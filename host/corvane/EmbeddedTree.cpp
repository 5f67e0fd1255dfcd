#include "EmbeddedTree.h"

#include <QApplication>
#include <QKeyEvent>
#include <QTreeWidget>

namespace corvane {

QTreeWidget* embeddedTree(QWidget* panel) {
    auto* tree = panel->findChild<QTreeWidget*>("CTDeptPerson");
    return tree ? tree : panel->findChild<QTreeWidget*>();
}

QStringList untick(QWidget* panel, const QStringList& ids) {
    QTreeWidget* tree = embeddedTree(panel);
    QHash<QString, QTreeWidgetItem*> nodes;
    if (tree)
        for (QTreeWidgetItemIterator it(tree); *it; ++it) {
            // A person listed under several departments: the first node in list order.
            const QString id = (*it)->data(0, Qt::UserRole).toString();
            if (!nodes.contains(id)) nodes.insert(id, *it);
        }
    QStringList missing;
    for (const QString& id : ids) {
        QTreeWidgetItem* found = nodes.value(id);
        if (!found) {
            missing << id;
            continue;
        }
        tree->setFocus();
        tree->setCurrentItem(found);
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
    QTreeWidget* tree = embeddedTree(panel);
    if (!tree) return result;
    for (QTreeWidgetItemIterator it(tree); *it; ++it) {
        if ((*it)->data(0, Qt::UserRole + 1).toString() != QLatin1String("1")) continue;
        const QString id = (*it)->data(0, Qt::UserRole).toString();
        result.inTree.insert(id);
        // A tree without tick boxes (import everything) has every node checked.
        const QVariant state = (*it)->data(0, Qt::CheckStateRole);
        if (!state.isValid() || state.toInt() == Qt::Checked) ++result.ticks[id];
    }
    return result;
}

}  // namespace corvane
