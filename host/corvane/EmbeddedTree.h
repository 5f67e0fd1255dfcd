// What the host reads from, and does to, the tick-box tree that the plug-in embedded in one of
// its panels. The host sees only a Qt item view and its model's roles: a node's ID under
// Qt::UserRole, its Kind ("0" department, "1" person) under Qt::UserRole + 1, its tick box
// under Qt::CheckStateRole.
#pragma once

#include <QModelIndex>
#include <QSet>
#include <QString>
#include <QStringList>
#include <functional>

class QAbstractItemModel;
class QTreeView;
class QWidget;

namespace corvane {

// The tick-box tree embedded in `panel`, or null.
QTreeView* embeddedTree(QWidget* panel);

// Calls `visit` with every index of `model`'s first column in list order (parents before
// children, collapsed or not).
void forEachIndex(const QAbstractItemModel& model,
                  const std::function<void(const QModelIndex&)>& visit);

// Unticks the nodes whose ID is listed as a user does (select the node, press and release
// Space); answers the IDs it did not find.
QStringList untick(QWidget* panel, const QStringList& ids);

// The PerUUIDs that have a person node (a person under several departments counts once).
// Depends only on the tree's nodes, not on its ticks.
QSet<QString> peopleInTree(QWidget* panel);

// How many person nodes are ticked (a tree without tick boxes, import everything, has every
// node ticked).
int tickedPeople(QWidget* panel);

}  // namespace corvane
