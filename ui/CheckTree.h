// The tri-state check tree: a NodeTree whose nodes' check states (NodeModel) are drawn as tick
// boxes left of the nodes' pictures.
//
// The control toggles nodes itself: a left press on a node's tick box released on the same
// node inside the control, or the release of the Space key while a node is selected and not
// being edited. Once the tick boxes are removed neither toggles anything: states the user
// cannot see are never changed by the user. Qt's own check handling (ItemIsUserCheckable) is
// not used.
#pragma once

#include <QPersistentModelIndex>

#include "NodeTree.h"

namespace cv {

class CheckTreeDelegate;

class CheckTree : public NodeTree {
    Q_OBJECT

public:
    static constexpr int NoCheckBox = NodeModel::NoCheckBox;
    static constexpr int Unchecked = NodeModel::Unchecked;
    static constexpr int Checked = NodeModel::Checked;
    static constexpr int PartiallyChecked = NodeModel::PartiallyChecked;

    explicit CheckTree(QWidget* parent = nullptr);

    // The model's state operations, as the frame's users call them.
    int stateIndex(int node) const { return nodes().state(node); }
    void setStateIndex(int node, int state) { nodes().setState(node, state); }
    void setStateAll(int state) { nodes().setStateAll(state); }
    void toggle(int node) { nodes().toggle(node); }

    // Hides the tick boxes for good; the states stay as they are and only the model's
    // operations change them from then on.
    void removeCheckBoxes() { nodes().setCheckBoxes(false); }
    bool hasCheckBoxes() const { return nodes().checkBoxes(); }

    // The tick box of `node` in viewport coordinates; empty when it shows none (no tick boxes,
    // state 0, or the node is not laid out).
    QRect checkBoxRect(int node) const;

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;

private:
    bool hitsCheckBox(int node, const QPoint& pos) const;

    CheckTreeDelegate* delegate_;
    QPersistentModelIndex pressedBox_;
};

}  // namespace cv
