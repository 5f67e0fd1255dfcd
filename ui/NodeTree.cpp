#include "NodeTree.h"

#include <QHeaderView>
#include <QItemSelectionModel>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTimer>

namespace cv {

NodeTree::NodeTree(QWidget* parent) : QTreeView(parent), nodes_(new NodeModel(this)) {
    setModel(nodes_);
    setHeaderHidden(true);
    setIndentation(19);
    setUniformRowHeights(true);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setMouseTracking(true);  // hot tracking
    setIconSize(QSize(16, 16));
    setTextElideMode(Qt::ElideNone);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    header()->setStretchLastSection(false);
    header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this, &NodeTree::fitColumnLater);
}

bool NodeTree::viewportEvent(QEvent* event) {
    if (event->type() == QEvent::Resize) {
        // Never narrower than the view: rows are selected and clicked across its width.
        header()->setMinimumSectionSize(viewport()->width());
        fitColumnLater();
    }
    return QTreeView::viewportEvent(event);
}

void NodeTree::fitColumnLater() {
    if (fitPending_) return;
    fitPending_ = true;
    QTimer::singleShot(0, this, [this] {
        fitPending_ = false;
        // Looks at the rows in view and a bounded number around them (the header's
        // resizeContentsPrecision), however many nodes the tree holds.
        QMetaObject::invokeMethod(header(), "resizeSections");
    });
}

void NodeTree::dataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight,
                           const QList<int>& roles) {
    if (roles == QList<int>{Qt::CheckStateRole}) {
        viewport()->update();
        return;
    }
    QTreeView::dataChanged(topLeft, bottomRight, roles);
}

void NodeTree::setImageList(const ImageList* images) {
    nodes_->setImageList(images);
    viewport()->update();
}

int NodeTree::selectedNode() const {
    const QModelIndex current = currentIndex();
    if (current.isValid() && selectionModel()->isSelected(current)) return nodes_->nodeOf(current);
    const QModelIndexList selected = selectionModel()->selectedIndexes();
    return selected.isEmpty() ? -1 : nodes_->nodeOf(selected.first());
}

void NodeTree::openAboveLevel(int level) {
    // Closing everything lays out the top level alone; with a layout pending, each opening
    // below is only recorded, and the next layout places them all.
    collapseAll();
    scheduleDelayedItemsLayout();
    const NodeModel& nodes = *nodes_;
    std::vector<int> open;  // ends of the subtrees the walk is in
    for (int node = 0; node < nodes.size();) {
        while (!open.empty() && open.back() <= node) open.pop_back();
        const int end = nodes.endOf(node);
        if (int(open.size()) >= level || end == node + 1) {
            node = end;  // nothing in it is opened
            continue;
        }
        expand(nodes.indexOf(node));
        open.push_back(end);
        ++node;
    }
}

void NodeTree::mousePressEvent(QMouseEvent* event) {
    QTreeView::mousePressEvent(event);
    emit mouseDown(event->button(), event->position().toPoint());
}

}  // namespace cv
