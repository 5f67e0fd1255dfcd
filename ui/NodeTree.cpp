#include "NodeTree.h"

#include <QHeaderView>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTextDocument>
#include <QTimer>
#include <vector>

namespace cv {

void TreeNode::setData(int column, int role, const QVariant& value) {
    if (column != 0 || (role != Qt::DisplayRole && role != Qt::EditRole)) {
        QTreeWidgetItem::setData(column, role, value);
        return;
    }
    const QString text = value.toString();
    if (text == this->text()) return;
    text_ = text;
    textIsPersonName_ = false;
    emitDataChanged();
}

QVariant TreeNode::data(int column, int role) const {
    if (column == 0 && (role == Qt::DisplayRole || role == Qt::EditRole)) {
        return text();
    }
    // The record's ID under Qt::UserRole lets a host find a node it wants to select, the way
    // assistive tools find a node by its name.
    if (column == 0 && role == Qt::UserRole) return record ? record->ID : QVariant();
    // And its Kind under the next role, so that a host can tell people from departments.
    if (column == 0 && role == Qt::UserRole + 1) return record ? record->Kind : QVariant();
    if (role == Qt::ToolTipRole) {
        // The full text, made when the tooltip is asked for: nothing is stored per node.
        // Shown as plain text even where it looks like markup, on one line.
        QVariant tip = QTreeWidgetItem::data(column, role);
        if (tip.isValid()) return tip;
        const QString text = data(column, Qt::DisplayRole).toString();
        if (text.isEmpty()) return {};
        return Qt::mightBeRichText(text) ? Qt::convertFromPlainText(text, Qt::WhiteSpaceNoWrap)
                                         : text;
    }
    if (column == 0 && (role == Qt::DecorationRole || role == Qt::CheckStateRole)) {
        const auto* tree = qobject_cast<const NodeTree*>(treeWidget());
        if (tree == nullptr) {
            return {};
        }
        if (role == Qt::DecorationRole) {
            if (tree->imageList() == nullptr || imageIndex < 0) {
                return {};
            }
            return tree->imageList()->icon(imageIndex, selectedIndex);
        }
        if (!tree->showsCheckBoxes() || state == 0) {
            return {};
        }
        switch (state) {
            case 2:
                return int(Qt::Checked);
            case 3:
                return int(Qt::PartiallyChecked);
            default:  // 1, and never set
                return int(Qt::Unchecked);
        }
    }
    return QTreeWidgetItem::data(column, role);
}

NodeTree::NodeTree(QWidget* parent) : QTreeWidget(parent) {
    setColumnCount(1);
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
    // Whatever adds, removes or moves nodes in the tree tells the model; the index of the
    // list order is made again when next needed. (Nodes added below a node in no tree yet
    // are seen when it is put into the tree.)
    const auto stale = [this] { index_.current = false; };
    QAbstractItemModel* nodes = model();
    indexConnections_ = {
        connect(nodes, &QAbstractItemModel::rowsInserted, this, stale),
        connect(nodes, &QAbstractItemModel::rowsAboutToBeRemoved, this, stale),
        connect(nodes, &QAbstractItemModel::rowsRemoved, this, stale),
        connect(nodes, &QAbstractItemModel::rowsMoved, this, stale),
        connect(nodes, &QAbstractItemModel::modelAboutToBeReset, this, stale),
        connect(nodes, &QAbstractItemModel::modelReset, this, stale),
        connect(nodes, &QAbstractItemModel::layoutChanged, this, stale),
    };
}

// The model goes with QWidget's children, after this object's own members: it must not
// reach the index then.
NodeTree::~NodeTree() {
    for (const QMetaObject::Connection& connection : indexConnections_) disconnect(connection);
}

bool NodeTree::viewportEvent(QEvent* event) {
    if (event->type() == QEvent::Resize) {
        // Never narrower than the view: rows are selected and clicked across its width.
        header()->setMinimumSectionSize(viewport()->width());
        fitColumnLater();
    }
    return QTreeWidget::viewportEvent(event);
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

void NodeTree::setImageList(const ImageList* images) {
    images_ = images;
    viewport()->update();
}

TreeNode* NodeTree::newNode(const QString& text, NodeRecord record) {
    return new TreeNode(std::move(record), text);
}

TreeNode* NodeTree::appendNode(QTreeWidgetItem* parent, const QString& text, NodeRecord record) {
    TreeNode* node = newNode(text, std::move(record));
    if (parent != nullptr) {
        parent->addChild(node);
    } else {
        addTopLevelItem(node);
    }
    return node;
}

TreeNode* NodeTree::asNode(QTreeWidgetItem* item) {
    return item != nullptr && item->type() == TreeNode::Type ? static_cast<TreeNode*>(item)
                                                             : nullptr;
}

const TreeNode* NodeTree::asNode(const QTreeWidgetItem* item) {
    return item != nullptr && item->type() == TreeNode::Type ? static_cast<const TreeNode*>(item)
                                                             : nullptr;
}

TreeNodeData* NodeTree::record(const QTreeWidgetItem* item) {
    const TreeNode* node = asNode(item);
    return node != nullptr ? node->record.get() : nullptr;
}

NodeRecord NodeTree::sharedRecord(const QTreeWidgetItem* item) {
    const TreeNode* node = asNode(item);
    return node != nullptr ? node->record : NodeRecord();
}

void NodeTree::setRecord(QTreeWidgetItem* item, NodeRecord record) {
    if (TreeNode* node = asNode(item)) {
        node->keepText();
        node->record = std::move(record);
    }
}

int NodeTree::imageIndex(const QTreeWidgetItem* item) {
    const TreeNode* node = asNode(item);
    return node != nullptr ? node->imageIndex : -1;
}

void NodeTree::setImageIndex(QTreeWidgetItem* item, int index) {
    if (TreeNode* node = asNode(item)) {
        node->imageIndex = index;
        if (QTreeWidget* tree = node->treeWidget(); tree != nullptr && tree->updatesEnabled()) {
            tree->viewport()->update();
        }
    }
}

int NodeTree::selectedIndex(const QTreeWidgetItem* item) {
    const TreeNode* node = asNode(item);
    return node != nullptr ? node->selectedIndex : -1;
}

void NodeTree::setSelectedIndex(QTreeWidgetItem* item, int index) {
    if (TreeNode* node = asNode(item)) {
        node->selectedIndex = index;
        if (QTreeWidget* tree = node->treeWidget(); tree != nullptr && tree->updatesEnabled()) {
            tree->viewport()->update();
        }
    }
}

int NodeTree::level(const QTreeWidgetItem* item) {
    int level = 0;
    for (const QTreeWidgetItem* p = item != nullptr ? item->parent() : nullptr; p != nullptr;
         p = p->parent()) {
        ++level;
    }
    return level;
}

const NodeTree::ListIndex& NodeTree::listIndex() const {
    if (index_.current) return index_;
    ListIndex& index = index_;
    index.items.clear();
    index.nodes.clear();
    index.levels.clear();
    index.ends.clear();
    // Explicit stack of (parent, next child index, parent's position): no recursion however
    // deep the tree, and no indexOfChild look-ups, which are linear in the sibling count.
    struct Open {
        QTreeWidgetItem* item;
        int next;
        std::size_t position;
    };
    std::vector<Open> stack;
    const auto add = [&](QTreeWidgetItem* item, int level) {
        const std::size_t position = index.items.size();
        index.items.push_back(item);
        index.levels.push_back(level);
        index.ends.push_back(int(position) + 1);
        TreeNode* node = asNode(item);
        index.nodes.push_back(node);
        if (node != nullptr) node->listPosition_ = int(position);
        if (item->childCount() > 0) stack.push_back({item, 0, position});
    };
    const int topCount = topLevelItemCount();
    for (int top = 0; top < topCount; ++top) {
        add(topLevelItem(top), 0);
        while (!stack.empty()) {
            Open& open = stack.back();
            if (open.next >= open.item->childCount()) {
                index.ends[open.position] = int(index.items.size());
                stack.pop_back();
                continue;
            }
            add(open.item->child(open.next++), int(stack.size()));
        }
    }
    index.current = true;
    return index;
}

void NodeTree::forEachNode(
    const std::function<void(QTreeWidgetItem* node, int level)>& visit) const {
    const ListIndex& index = listIndex();
    for (std::size_t i = 0; i < index.items.size(); ++i) visit(index.items[i], index.levels[i]);
}

std::pair<TreeNode* const*, TreeNode* const*> NodeTree::subtreeRange(
    const QTreeWidgetItem* item) const {
    const TreeNode* node = asNode(item);
    if (node == nullptr || node->treeWidget() != this) return {nullptr, nullptr};
    const ListIndex& index = listIndex();
    const int position = node->listPosition_;
    if (position < 0 || std::size_t(position) >= index.items.size() ||
        index.items[std::size_t(position)] != item) {
        return {nullptr, nullptr};
    }
    TreeNode* const* nodes = index.nodes.data();
    return {nodes + position, nodes + index.ends[std::size_t(position)]};
}

QList<QTreeWidgetItem*> NodeTree::nodesInListOrder() const {
    const std::vector<QTreeWidgetItem*>& items = listIndex().items;
    return QList<QTreeWidgetItem*>(items.cbegin(), items.cend());
}

QTreeWidgetItem* NodeTree::selectedNode() const {
    QTreeWidgetItem* item = currentItem();
    if (item != nullptr && item->isSelected()) {
        return item;
    }
    const QList<QTreeWidgetItem*> selected = selectedItems();
    return selected.isEmpty() ? nullptr : selected.first();
}

void NodeTree::openAboveLevel(int level) {
    // Closing everything lays out the top level alone; with a layout pending, each opening
    // below is only recorded, and the next layout places them all.
    collapseAll();
    scheduleDelayedItemsLayout();
    std::vector<std::pair<QTreeWidgetItem*, int>> stack;
    for (int top = topLevelItemCount() - 1; top >= 0; --top) {
        stack.emplace_back(topLevelItem(top), 0);
    }
    while (!stack.empty()) {
        const auto [node, nodeLevel] = stack.back();
        stack.pop_back();
        if (nodeLevel >= level || node->childCount() == 0) {
            continue;
        }
        node->setExpanded(true);
        for (int i = node->childCount() - 1; i >= 0; --i) {
            stack.emplace_back(node->child(i), nodeLevel + 1);
        }
    }
}

int NodeTree::nodeCount() const { return int(listIndex().items.size()); }

void NodeTree::beginUpdate() {
    if (updateDepth_++ == 0) {
        setUpdatesEnabled(false);
    }
}

void NodeTree::endUpdate() {
    if (updateDepth_ > 0 && --updateDepth_ == 0) {
        setUpdatesEnabled(true);
        viewport()->update();
    }
}

void NodeTree::mousePressEvent(QMouseEvent* event) {
    QTreeWidget::mousePressEvent(event);
    emit mouseDown(event->button(), event->position().toPoint());
}

}  // namespace cv
