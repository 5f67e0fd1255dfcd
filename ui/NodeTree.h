// A tree view over a NodeModel of its own, with the library's look: one column, indent 19,
// hot tracking, pictures from an ImageList. The frame's target tree is one; the check tree
// builds on it.
//
// Texts are never cut short: a node's tooltip is its full text, and the one column is as wide
// as the widest text among the rows in and around the view (at least as wide as the view), so
// the tree scrolls sideways where a name is wider than the view.
#pragma once

#include <QTreeView>

#include "ImageList.h"
#include "NodeModel.h"

namespace cv {

class NodeTree : public QTreeView {
    Q_OBJECT

public:
    explicit NodeTree(QWidget* parent = nullptr);

    NodeModel& nodes() { return *nodes_; }
    const NodeModel& nodes() const { return *nodes_; }

    // The picture list is not owned; it must outlive the tree (the frame holds both).
    void setImageList(const ImageList* images);
    const ImageList* imageList() const { return nodes_->imageList(); }

    // The selected node (the current node when it is selected), or -1.
    int selectedNode() const;
    void setCurrentNode(int node) { setCurrentIndex(nodes_->indexOf(node)); }
    // The node at `pos` (viewport coordinates), or -1; and a node's row there.
    int nodeAt(const QPoint& pos) const { return nodes_->nodeOf(indexAt(pos)); }
    QRect nodeRect(int node) const { return visualRect(nodes_->indexOf(node)); }
    bool isOpen(int node) const { return isExpanded(nodes_->indexOf(node)); }

    // Opens every node above `level` (0 for top-level nodes) that has children and closes
    // every other node, in one layout however many nodes change; the nodes below `level` are
    // not visited.
    void openAboveLevel(int level);

signals:
    // Any mouse button pressed in the tree, after the tree's own handling (which selects the
    // node under the pointer). `pos` is in viewport coordinates.
    void mouseDown(Qt::MouseButton button, const QPoint& pos);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    bool viewportEvent(QEvent* event) override;
    // A change of states alone repaints: no row changes its height for it.
    void dataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight,
                     const QList<int>& roles) override;

private:
    // Fits the column to the rows around the view once control returns to the event loop:
    // the header's own fitting follows changes of the rows, not scrolling or resizing.
    void fitColumnLater();

    NodeModel* nodes_;
    bool fitPending_ = false;
};

}  // namespace cv
