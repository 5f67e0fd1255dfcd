// The tri-state check tree: a NodeTree whose nodes carry a check state index drawn as a tick
// box left of the node's picture.
//
// State indexes: 0 no tick box, 1 unchecked, 2 checked, 3 partially checked. A node whose
// state was never set (TreeNode::NeverSet) is shown and toggled as unchecked, but counts as
// neither checked nor unchecked when its parent is recomputed.
//
// The control toggles nodes itself: a left press on a node's tick box released on the same
// node inside the control, or the release of the Space key while a node is selected and not
// being edited. Once the tick boxes are removed neither toggles anything: states the user
// cannot see are never changed by the user. Qt's own check handling (ItemIsUserCheckable) is
// not used.
//
// States live in the nodes, not in the model, so bulk changes (setStateAll, a cascade over a
// whole tree) cost one pass and one repaint.
#pragma once

#include <QPersistentModelIndex>

#include "NodeTree.h"

namespace cv {

class CheckTreeDelegate;

class CheckTree : public NodeTree {
    Q_OBJECT

public:
    static constexpr int NoCheckBox = 0;
    static constexpr int Unchecked = 1;
    static constexpr int Checked = 2;
    static constexpr int PartiallyChecked = 3;

    explicit CheckTree(QWidget* parent = nullptr);

    // The state index of `item`: 0..3, or TreeNode::NeverSet.
    static int stateIndex(const QTreeWidgetItem* item);
    // Sets one node's state (0..3) without any cascade. Throws std::invalid_argument for any
    // other value.
    void setStateIndex(QTreeWidgetItem* item, int state);
    // Every node gets `state` (0..3) at once, without cascade.
    void setStateAll(int state);

    // The user's toggle: no effect on a node in state 0; otherwise a checked node becomes
    // unchecked and any other checked. Then every descendant takes the new state, and every
    // ancestor, parent first, is recomputed from its direct children: partially checked if a
    // child is or if both checked and unchecked children exist, else checked if one child is
    // checked, else unchecked.
    void toggle(QTreeWidgetItem* item);

    // Hides the tick boxes for good; the states stay as they are and only setStateIndex,
    // setStateAll and toggle change them from then on.
    void removeCheckBoxes();
    bool hasCheckBoxes() const { return checkBoxes_; }
    bool showsCheckBoxes() const override { return checkBoxes_; }

    // The tick box of `item` in viewport coordinates; empty when it shows none (no tick boxes,
    // state 0, or the node is not laid out).
    QRect checkBoxRect(const QTreeWidgetItem* item) const;

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;

private:
    bool hitsCheckBox(const QTreeWidgetItem* item, const QPoint& pos) const;

    CheckTreeDelegate* delegate_;
    bool checkBoxes_ = true;
    QPersistentModelIndex pressedBox_;
};

}  // namespace cv
