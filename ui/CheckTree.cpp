#include "CheckTree.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QStyledItemDelegate>

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

CheckTree::CheckTree(QWidget* parent) : NodeTree(parent), delegate_(new CheckTreeDelegate(this)) {
    setItemDelegate(delegate_);
    nodes().setCheckBoxes(true);
}

QRect CheckTree::checkBoxRect(int node) const {
    if (!hasCheckBoxes() || node < 0 || stateIndex(node) == NoCheckBox) return {};
    const QModelIndex index = nodes().indexOf(node);
    const QRect row = visualRect(index);
    if (row.isEmpty()) return {};
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    option.rect = row;
    delegate_->initOption(&option, index);
    return style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, this);
}

bool CheckTree::hitsCheckBox(int node, const QPoint& pos) const {
    const QRect box = checkBoxRect(node);
    if (box.isEmpty()) return false;
    // The box counts over the whole height of its row.
    const QRect row = nodeRect(node);
    return QRect(box.left(), row.top(), box.width(), row.height()).contains(pos);
}

void CheckTree::mousePressEvent(QMouseEvent* event) {
    pressedBox_ = QPersistentModelIndex();
    if (event->button() == Qt::LeftButton) {
        const QPoint pos = event->position().toPoint();
        const int node = nodeAt(pos);
        if (node >= 0 && hitsCheckBox(node, pos)) pressedBox_ = nodes().indexOf(node);
    }
    NodeTree::mousePressEvent(event);
}

void CheckTree::mouseReleaseEvent(QMouseEvent* event) {
    NodeTree::mouseReleaseEvent(event);
    const int pressed = nodes().nodeOf(pressedBox_);
    pressedBox_ = QPersistentModelIndex();
    const QPoint pos = event->position().toPoint();
    if (event->button() == Qt::LeftButton && pressed >= 0 && viewport()->rect().contains(pos) &&
        nodeAt(pos) == pressed) {
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
        if (hasCheckBoxes() && !event->isAutoRepeat() &&
            state() != QAbstractItemView::EditingState) {
            if (const int node = selectedNode(); node >= 0) toggle(node);
        }
        return;
    }
    NodeTree::keyReleaseEvent(event);
}

}  // namespace cv
