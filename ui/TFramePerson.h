// The selection frame "FramePerson": the check tree of departments and people, and in a side
// panel the information panel of the clicked node and the target tree into which nodes are
// dragged. The export, import and preview each create one and configure it after a
// successful load; the frame itself only offers the controls and their behaviour.
//
// Records: the check tree's model holds its records; the target tree's copies refer to the
// same records. Destroying the frame releases all of them. Nodes are named by their
// positions in their tree's model (NodeModel).
#pragma once

#include <QFrame>
#include <QPointer>
#include <QString>
#include <functional>

#include "CheckTree.h"
#include "ImageList.h"
#include "SizePanel.h"

class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;

namespace cv {

class TFramePerson : public QFrame {
    Q_OBJECT

public:
    // The component name under which the frame is found: "FramePerson".
    static const QString InstanceName;

    explicit TFramePerson(QWidget* parent = nullptr);
    ~TFramePerson() override;

    // Builds the database tree into CTDeptPerson: the local variant when the host's working
    // style is 2, the networked one otherwise, through the data module's connection. Returns
    // what the builder returns; a failing query throws (cv::DbError) and leaves the nodes
    // built so far. Throws StoreError when there is no data module, DbError when it holds no
    // connection for the style.
    bool LoadFromDatabase();

    // Builds a person package's tree into CTDeptPerson. The package subsystem hands in its
    // builder (BuildPackageTree) with the package argument; the frame runs it on its check
    // tree and returns its result. Throws std::invalid_argument for an empty builder.
    using PackageTreeBuilder = std::function<bool(const QString& packageArgument, CheckTree&)>;
    bool LoadFromPackage(const QString& packageArgument, const PackageTreeBuilder& build);

    // Makes `window` the frame's parent and shows the frame in it. Wherever its parent does
    // not lay it out, the frame fills its parent and follows its size.
    void setParentWindow(QWidget* window);

    // Expands every node of CTDeptPerson above `level` and collapses every node of that
    // level or deeper: with 1 the root is open and its children are closed.
    void ExpandToLevel(int level);

    // Event handlers, public so that the configurations and tests can reach them.
    void CTDeptPersonClick();
    // A left press on CTDeptPerson without tick boxes readies a drag of its selected node,
    // which starts once the pointer has moved QApplication::startDragDistance() from `pos`
    // with the button held (the drag then runs its own event loop until the button is
    // released). A press released before that is a click and fills the information panel.
    void CTDeptPersonMouseDown(Qt::MouseButton button, const QPoint& pos);
    void TvDeptPersonMouseDown(Qt::MouseButton button, const QPoint& pos);
    // Whether a drag from `source` may drop at `pos` (TvDeptPerson's viewport coordinates).
    // Only drags of CTDeptPerson's selected node are accepted.
    bool TvDeptPersonDragOver(const QObject* source, const QPoint& pos) const;
    void TvDeptPersonDragDrop(const QObject* source, const QPoint& pos);
    void TBItem6Click();  // "刷新树列表"
    void TBItem3Click();  // "清空列表"
    void TBItem4Click();  // "删除该节点"
    void TBItem5Click();  // "删除所有子节点"

    // The target-tree node on the level of `node` (a check-tree node) that stands for it: the
    // first one whose record has the same ID; failing that, the target tree's first node if
    // a record-less node lies on that level; otherwise -1.
    int FindSameNode(int node) const;
    // Appends a copy of `source` and its whole subtree as the last child of `targetParent`
    // (top level when -1) in TvDeptPerson; returns the copy.
    int CopySubtree(int source, int targetParent);
    // Merges `dragged` with its ancestors into TvDeptPerson below `dropTarget`, reusing the
    // nodes FindSameNode finds; with `withSubtree` the node standing for `dragged` is then
    // replaced by a fresh copy of its subtree. Never throws: a failure ends the merge and
    // keeps what was added.
    void CopyWithAncestors(int dragged, int dropTarget, bool withSubtree);

    // What an import would do, shown beside the tree before it runs: `line` under the tree
    // (hidden while empty), and for the node the user clicks, the text `noteOf` gives in the
    // information panel's box "预计导入" (hidden while `noteOf` is empty or gives nothing).
    void setPlanLine(const QString& line);
    void setPlanNotes(std::function<QString(int node)> noteOf);

    // The node the target-tree commands never delete: TvDeptPerson's first top-level node
    // (its root "部门信息"), whether or not it is scrolled out of view; -1 when it is empty.
    int TopNode() const;

    // Controls, named as in the frame's layout.
    ImageList imglstTreeView;
    CheckTree* CTDeptPerson;
    SizePanel* SizePnl;
    NodeTree* TvDeptPerson;
    QFrame* PnlImport;
    QGroupBox* GroupBox2;  // "人员信息"
    QGroupBox* GroupBox1;  // "部门信息"
    QLineEdit* EdtPerUUID;
    QLineEdit* EdtPerName;
    QLineEdit* EdtPerSex;
    QLineEdit* EdtLoginName;
    QLineEdit* EdtDeptID;
    QLineEdit* EdtDeptName;
    QLabel* LblPlan;          // the plan's line under the tree
    QGroupBox* GroupBoxPlan;  // "预计导入"
    QLabel* LblPlanned;       // the clicked node's planned outcome
    QMenu* TBPopupMenu1;

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildLayout();
    void startDragOfSelected();
    // The press, move and release handling of a pending drag; true when `event` is taken.
    bool filterCheckTreeMouse(QEvent* event);
    void fillParent();

    // A left press without tick boxes, waiting for the pointer to travel (viewport
    // coordinates of the press); and a drag that started and has not seen its release.
    bool dragPending_ = false;
    bool dragStarted_ = false;
    QPoint dragStart_;
    bool menuForThisClick_ = false;
    QPointer<QWidget> watchedParent_;
    std::function<QString(int)> planNoteOf_;
};

}  // namespace cv
