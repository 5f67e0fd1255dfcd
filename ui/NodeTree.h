// A tree whose nodes carry a TreeNodeData record and picture indexes into an ImageList. The
// frame's target tree is one; the check tree builds on it.
//
// Nodes are appended through appendNode, which makes TreeNode items; accessors given any
// other QTreeWidgetItem answer "no record, no picture, state never set".
//
// Texts are never cut short: a node's tooltip is its full text, answered when asked, and the
// one column is as wide as the widest text among the rows in and around the view (at least
// as wide as the view), so the tree scrolls sideways where a name is wider than the view.
#pragma once

#include <QTreeWidget>
#include <QTreeWidgetItem>
#include <functional>
#include <utility>
#include <vector>

#include "ImageList.h"
#include "TreeNodeData.h"

namespace cv {

class TreeNode : public QTreeWidgetItem {
public:
    static constexpr int Type = QTreeWidgetItem::UserType + 0x4356;
    static constexpr int NeverSet = -1;

    explicit TreeNode(NodeRecord record, QString text = {})
        : QTreeWidgetItem(Type), record(std::move(record)), text_(std::move(text)) {}
    // A person's node whose text is its record's PersonName, read from the record when asked
    // (until a text is set): a tree of 100,000 people copies no name for it.
    struct PersonNameText {};
    TreeNode(NodeRecord record, PersonNameText)
        : QTreeWidgetItem(Type), record(std::move(record)), textIsPersonName_(true) {}
    // Makes the text the node's own, as it is now: before its record is replaced.
    void keepText() {
        if (textIsPersonName_) text_ = text();
        textIsPersonName_ = false;
    }

    // The first column's text is kept in the node itself (setText and text() reach it): a
    // tree of 100,000 nodes makes no value list per node for it.
    QVariant data(int column, int role) const override;
    void setData(int column, int role, const QVariant& value) override;

    NodeRecord record;
    int imageIndex = -1;
    int selectedIndex = 0;  // shown while the node is selected; 0 unless set
    int state = NeverSet;   // check state index; see CheckTree
    qsizetype sourceRow = -1;  // the row of the dataset file the node was made from, or -1

private:
    friend class NodeTree;
    const QString& text() const { return textIsPersonName_ && record ? record->PersonName : text_; }

    QString text_;
    bool textIsPersonName_ = false;
    // Where the node stood in its tree's list order when the tree last laid it out; only
    // the tree's own index may trust it (NodeTree::subtreeRange).
    int listPosition_ = -1;
};

class NodeTree : public QTreeWidget {
    Q_OBJECT

public:
    explicit NodeTree(QWidget* parent = nullptr);
    ~NodeTree() override;

    // The picture list is not owned; it must outlive the tree (the frame holds both).
    void setImageList(const ImageList* images);
    const ImageList* imageList() const { return images_; }

    // Appends a new last child of `parent`, or a new last top-level node when `parent` is
    // null, with `text` and `record` (which may be null).
    TreeNode* appendNode(QTreeWidgetItem* parent, const QString& text, NodeRecord record = {});
    // A node in no tree yet, with `text` and `record`. Nodes appended below it (appendNode
    // with it as parent) cost no model signal and no view update until it is put into a tree
    // (addTopLevelItems): the way to fill a tree in bulk.
    static TreeNode* newNode(const QString& text, NodeRecord record = {});

    static TreeNode* asNode(QTreeWidgetItem* item);
    static const TreeNode* asNode(const QTreeWidgetItem* item);
    static TreeNodeData* record(const QTreeWidgetItem* item);
    static NodeRecord sharedRecord(const QTreeWidgetItem* item);
    static void setRecord(QTreeWidgetItem* item, NodeRecord record);
    static int imageIndex(const QTreeWidgetItem* item);
    static void setImageIndex(QTreeWidgetItem* item, int index);
    static int selectedIndex(const QTreeWidgetItem* item);
    static void setSelectedIndex(QTreeWidgetItem* item, int index);
    // 0 for a top-level node.
    static int level(const QTreeWidgetItem* item);

    // The selected node (the current node when it is selected), or null.
    QTreeWidgetItem* selectedNode() const;
    // The tree's first node (the first top-level node), or null.
    QTreeWidgetItem* firstNode() const { return topLevelItem(0); }
    // Every node in list order (depth first, parents before children, collapsed or not)
    // with its level. Linear in the node count; `visit` must not add or delete nodes.
    //
    // The walks go over an index of the nodes in list order, made by one walk of the tree
    // when first needed after its nodes changed (the model's signals tell): a walk then
    // reads one array and the nodes, not every node's list of children.
    void forEachNode(const std::function<void(QTreeWidgetItem* node, int level)>& visit) const;
    // The same for the TreeNodes alone (a walk that needs no other item reads no item's type).
    template <typename Visit>
    void forEachTreeNode(Visit visit) const {
        for (TreeNode* node : listIndex().nodes) {
            if (node != nullptr) visit(*node);
        }
    }
    QList<QTreeWidgetItem*> nodesInListOrder() const;
    int nodeCount() const;
    // The nodes of `node`'s subtree, itself first, in list order: a range of the index, null
    // where an item is no TreeNode. Empty when `node` is not a TreeNode of this tree.
    std::pair<TreeNode* const*, TreeNode* const*> subtreeRange(const QTreeWidgetItem* node) const;

    // Opens every node above `level` (0 for top-level nodes) that has children and closes
    // every other node, in one layout however many nodes change; the nodes below `level`
    // are not visited.
    void openAboveLevel(int level);

    // Whether nodes show their check state as a tick box; plain node trees show none.
    virtual bool showsCheckBoxes() const { return false; }

    // Update mode: nothing is painted until the matching endUpdate; calls nest.
    void beginUpdate();
    void endUpdate();
    bool inUpdate() const { return updateDepth_ > 0; }

signals:
    // Any mouse button pressed in the tree, after the tree's own handling (which selects the
    // node under the pointer). `pos` is in viewport coordinates.
    void mouseDown(Qt::MouseButton button, const QPoint& pos);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    bool viewportEvent(QEvent* event) override;

private:
    // Fits the column to the rows around the view once control returns to the event loop:
    // the header's own fitting follows changes of the rows, not scrolling or resizing.
    void fitColumnLater();

    struct ListIndex {
        std::vector<QTreeWidgetItem*> items;  // list order
        std::vector<TreeNode*> nodes;         // the same, null for an item of another type
        std::vector<int> levels;
        std::vector<int> ends;  // for each node, the position after its subtree
        bool current = false;
    };
    const ListIndex& listIndex() const;

    const ImageList* images_ = nullptr;
    int updateDepth_ = 0;
    bool fitPending_ = false;
    mutable ListIndex index_;
    std::vector<QMetaObject::Connection> indexConnections_;
};

}  // namespace cv
