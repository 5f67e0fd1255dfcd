#include "CheckTree.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QStyledItemDelegate>
#include <stdexcept>
#include <string>
#include <vector>

namespace cv {

// The item delegate, with its style option initialisation reachable for hit tests: the tick
// box is wherever the style draws the check indicator.
class CheckTreeDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void initOption(QStyleOptionViewItem* option, const QModelIndex& index) const {
        initStyleOption(option, index);
    }
};

namespace {

void checkStateValue(int state) {
    if (state < 0 || state > 3) {
        throw std::invalid_argument("check state index out of range: " + std::to_string(state));
    }
}

// Sets `state` on `top` and every node below it: over the tree's index of the list order, or
// by walking the children where `top` is not in it.
void setSubtreeState(const NodeTree& tree, TreeNode* top, int state) {
    if (const auto [first, last] = tree.subtreeRange(top); first != last) {
        for (auto* node = first; node != last; ++node) {
            if (*node != nullptr) (*node)->state = state;
        }
        return;
    }
    std::vector<QTreeWidgetItem*> stack{top};
    while (!stack.empty()) {
        QTreeWidgetItem* item = stack.back();
        stack.pop_back();
        if (TreeNode* node = NodeTree::asNode(item)) {
            node->state = state;
        }
        for (int i = item->childCount() - 1; i >= 0; --i) {
            stack.push_back(item->child(i));
        }
    }
}

// A parent's state from its direct children. Children in state 0 or never set count as
// neither checked nor unchecked.
int stateFromChildren(const QTreeWidgetItem* parent) {
    bool anyChecked = false;
    bool anyUnchecked = false;
    const int count = parent->childCount();
    for (int i = 0; i < count; ++i) {
        switch (CheckTree::stateIndex(parent->child(i))) {
            case CheckTree::PartiallyChecked:
                return CheckTree::PartiallyChecked;
            case CheckTree::Checked:
                anyChecked = true;
                break;
            case CheckTree::Unchecked:
                anyUnchecked = true;
                break;
            default:
                break;
        }
        if (anyChecked && anyUnchecked) {
            return CheckTree::PartiallyChecked;
        }
    }
    return anyChecked ? CheckTree::Checked : CheckTree::Unchecked;
}

}  // namespace

CheckTree::CheckTree(QWidget* parent) : NodeTree(parent), delegate_(new CheckTreeDelegate(this)) {
    setItemDelegate(delegate_);
}

int CheckTree::stateIndex(const QTreeWidgetItem* item) {
    const TreeNode* node = asNode(item);
    return node != nullptr ? node->state : TreeNode::NeverSet;
}

void CheckTree::setStateIndex(QTreeWidgetItem* item, int state) {
    checkStateValue(state);
    if (TreeNode* node = asNode(item)) {
        node->state = state;
        viewport()->update();
    }
}

void CheckTree::setStateAll(int state) {
    checkStateValue(state);
    forEachTreeNode([state](TreeNode& node) { node.state = state; });
    viewport()->update();
}

void CheckTree::toggle(QTreeWidgetItem* item) {
    TreeNode* node = asNode(item);
    if (node == nullptr || node->state == NoCheckBox) {
        return;
    }
    const int newState = node->state == Checked ? Unchecked : Checked;
    setSubtreeState(*this, node, newState);
    for (QTreeWidgetItem* ancestor = node->parent(); ancestor != nullptr;
         ancestor = ancestor->parent()) {
        if (TreeNode* ancestorNode = asNode(ancestor)) {
            ancestorNode->state = stateFromChildren(ancestor);
        }
    }
    viewport()->update();
}

void CheckTree::removeCheckBoxes() {
    checkBoxes_ = false;
    viewport()->update();
}

QRect CheckTree::checkBoxRect(const QTreeWidgetItem* item) const {
    if (!checkBoxes_ || item == nullptr || stateIndex(item) == NoCheckBox) {
        return {};
    }
    const QModelIndex index = indexFromItem(item);
    const QRect row = visualRect(index);
    if (!index.isValid() || row.isEmpty()) {
        return {};
    }
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    option.rect = row;
    delegate_->initOption(&option, index);
    return style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, this);
}

bool CheckTree::hitsCheckBox(const QTreeWidgetItem* item, const QPoint& pos) const {
    const QRect box = checkBoxRect(item);
    if (box.isEmpty()) {
        return false;
    }
    // The box counts over the whole height of its row.
    const QRect row = visualItemRect(item);
    return QRect(box.left(), row.top(), box.width(), row.height()).contains(pos);
}

void CheckTree::mousePressEvent(QMouseEvent* event) {
    pressedBox_ = QPersistentModelIndex();
    if (event->button() == Qt::LeftButton) {
        const QPoint pos = event->position().toPoint();
        QTreeWidgetItem* item = itemAt(pos);
        if (item != nullptr && hitsCheckBox(item, pos)) {
            pressedBox_ = QPersistentModelIndex(indexFromItem(item));
        }
    }
    NodeTree::mousePressEvent(event);
}

void CheckTree::mouseReleaseEvent(QMouseEvent* event) {
    NodeTree::mouseReleaseEvent(event);
    if (event->button() != Qt::LeftButton || !pressedBox_.isValid()) {
        pressedBox_ = QPersistentModelIndex();
        return;
    }
    QTreeWidgetItem* pressed = itemFromIndex(pressedBox_);
    pressedBox_ = QPersistentModelIndex();
    const QPoint pos = event->position().toPoint();
    if (viewport()->rect().contains(pos) && itemAt(pos) == pressed) {
        toggle(pressed);
    }
}

void CheckTree::keyPressEvent(QKeyEvent* event) {
    // Space toggles on its release; its press must not start a keyboard search that moves
    // the selection first.
    if (event->key() == Qt::Key_Space && event->modifiers() == Qt::NoModifier) {
        event->accept();
        return;
    }
    NodeTree::keyPressEvent(event);
}

void CheckTree::keyReleaseEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Space && event->modifiers() == Qt::NoModifier) {
        event->accept();
        // Without tick boxes there is nothing the user could see toggle: Space ticks nothing.
        if (checkBoxes_ && !event->isAutoRepeat() && state() != QAbstractItemView::EditingState) {
            if (QTreeWidgetItem* item = selectedNode()) {
                toggle(item);
            }
        }
        return;
    }
    NodeTree::keyReleaseEvent(event);
}

}  // namespace cv
