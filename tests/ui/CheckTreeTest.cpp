// The check tree driven the way a user drives it: mouse presses on the tick box and Space
// key releases.
#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QKeyEvent>
#include <QTest>

#include "CheckTree.h"
#include "UiTestSupport.h"

using cv::CheckTree;
using cv::NodeModel;
using namespace uitest;

namespace {

// 部门信息 (no record)
//   A{a1, a2, AA{aa1}}
//   B{b1}
//   p0
class CheckTreeTest : public ::testing::Test {
protected:
    void SetUp() override {
        root = tree.nodes().append(-1, QStringLiteral("部门信息"), {}, 0);
        a = dept(tree, root, "A", "0001");
        a1 = person(tree, a, "a1", "P1");
        a2 = person(tree, a, "a2", "P2");
        aa = dept(tree, a, "AA", "00010001");
        aa1 = person(tree, aa, "aa1", "P3");
        b = dept(tree, root, "B", "0002");
        b1 = person(tree, b, "b1", "P4");
        p0 = person(tree, root, "p0", "P0");
        tree.resize(300, 400);
        tree.expandAll();
        ASSERT_TRUE(showAndWait(tree));
    }

    QVariant checkState(int node) const {
        return tree.nodes().indexOf(node).data(Qt::CheckStateRole);
    }

    void clickBox(int node) {
        const QRect box = tree.checkBoxRect(node);
        ASSERT_FALSE(box.isEmpty()) << tree.nodes().text(node).toStdString();
        QTest::mouseClick(tree.viewport(), Qt::LeftButton, {}, box.center());
    }

    CheckTree tree;
    int root, a, a1, a2, aa, aa1, b, b1, p0;
    QAbstractItemModelTester tester{&tree.nodes(),
                                    QAbstractItemModelTester::FailureReportingMode::Fatal};
};

TEST_F(CheckTreeTest, TickBoxClicksCascadeDownAndRecomputeAncestors) {
    tree.setStateAll(CheckTree::Checked);
    struct Step {
        const char* node;
        const char* expected;
    };
    const Step steps[] = {
        // Unticking a department unticks its subtree; its ancestor becomes partial.
        {"A", "部门信息:3 A:1 a1:1 a2:1 AA:1 aa1:1 B:2 b1:2 p0:2"},
        // One child ticked among unticked ones: partial.
        {"aa1", "部门信息:3 A:3 a1:1 a2:1 AA:2 aa1:2 B:2 b1:2 p0:2"},
        // A partially checked node becomes checked with its whole subtree.
        {"A", "部门信息:2 A:2 a1:2 a2:2 AA:2 aa1:2 B:2 b1:2 p0:2"},
        {"b1", "部门信息:3 A:2 a1:2 a2:2 AA:2 aa1:2 B:1 b1:1 p0:2"},
        {"p0", "部门信息:3 A:2 a1:2 a2:2 AA:2 aa1:2 B:1 b1:1 p0:1"},
        {"A", "部门信息:1 A:1 a1:1 a2:1 AA:1 aa1:1 B:1 b1:1 p0:1"},
        {"部门信息", "部门信息:2 A:2 a1:2 a2:2 AA:2 aa1:2 B:2 b1:2 p0:2"},
    };
    for (const Step& step : steps) {
        clickBox(nodeNamed(tree, step.node));
        EXPECT_EQ(states(tree), step.expected) << "after clicking " << step.node;
    }
}

TEST_F(CheckTreeTest, ClickOnlyTogglesWhenPressAndReleaseStayOnTheBoxNode) {
    tree.setStateAll(CheckTree::Checked);
    const QString before = states(tree);
    // Pressed on the box, released on another node.
    QTest::mousePress(tree.viewport(), Qt::LeftButton, {}, tree.checkBoxRect(a1).center());
    QTest::mouseRelease(tree.viewport(), Qt::LeftButton, {}, tree.nodeRect(b1).center());
    EXPECT_EQ(states(tree), before);
    // Pressed on the node's text, not its box.
    QTest::mouseClick(tree.viewport(), Qt::LeftButton, {}, tree.nodeRect(a1).center());
    EXPECT_EQ(states(tree), before);
    // The right button does nothing.
    QTest::mouseClick(tree.viewport(), Qt::RightButton, {}, tree.checkBoxRect(a1).center());
    EXPECT_EQ(states(tree), before);
    // A press at the row's top edge, above the drawn box, still hits it; and the release
    // may be anywhere on the same row.
    const QPoint rowTop(tree.checkBoxRect(a1).center().x(), tree.nodeRect(a1).top());
    QTest::mousePress(tree.viewport(), Qt::LeftButton, {}, rowTop);
    QTest::mouseRelease(tree.viewport(), Qt::LeftButton, {}, tree.nodeRect(a1).center());
    EXPECT_EQ(tree.stateIndex(a1), CheckTree::Unchecked);
    EXPECT_THROW(tree.setStateAll(4), std::invalid_argument);
}

TEST_F(CheckTreeTest, SpaceReleaseTogglesTheSelectedNode) {
    tree.setStateAll(CheckTree::Checked);
    tree.setCurrentNode(aa);
    QTest::keyPress(&tree, Qt::Key_Space);
    EXPECT_EQ(tree.stateIndex(aa), CheckTree::Checked) << "the press does nothing";
    QTest::keyRelease(&tree, Qt::Key_Space);
    EXPECT_EQ(states(tree), "部门信息:3 A:3 a1:2 a2:2 AA:1 aa1:1 B:2 b1:2 p0:2");

    // An auto-repeated release does not toggle again.
    QKeyEvent repeat(QEvent::KeyRelease, Qt::Key_Space, Qt::NoModifier, " ", true);
    QCoreApplication::sendEvent(&tree, &repeat);
    EXPECT_EQ(tree.stateIndex(aa), CheckTree::Unchecked);

    // Nothing selected: nothing toggles.
    tree.clearSelection();
    tree.setCurrentNode(-1);
    const QString before = states(tree);
    QTest::keyClick(&tree, Qt::Key_Space);
    EXPECT_EQ(states(tree), before);
}

TEST_F(CheckTreeTest, NodeInStateZeroHasNoBoxAndNeverToggles) {
    tree.setStateAll(CheckTree::Checked);
    tree.setStateIndex(a2, CheckTree::NoCheckBox);
    EXPECT_TRUE(tree.checkBoxRect(a2).isEmpty());
    EXPECT_FALSE(tree.nodes().indexOf(a2).data(Qt::CheckStateRole).isValid());
    tree.setCurrentNode(a2);
    QTest::keyClick(&tree, Qt::Key_Space);
    EXPECT_EQ(tree.stateIndex(a2), CheckTree::NoCheckBox);
    // A state-0 child counts as neither checked nor unchecked for its parent.
    clickBox(a1);
    EXPECT_EQ(tree.stateIndex(a), CheckTree::PartiallyChecked);  // a1 off, AA on
    clickBox(aa);
    EXPECT_EQ(tree.stateIndex(a), CheckTree::Unchecked);
}

TEST_F(CheckTreeTest, NeverSetShowsUncheckedButCountsAsNeither) {
    EXPECT_EQ(tree.stateIndex(a1), NodeModel::NeverSet);
    EXPECT_EQ(checkState(a1).toInt(), int(Qt::Unchecked));
    clickBox(a1);
    // a2 and AA were never set: A has one checked child and no unchecked one.
    EXPECT_EQ(states(tree), "部门信息:2 A:2 a1:2 a2:- AA:- aa1:- B:- b1:- p0:-");
    EXPECT_EQ(checkState(a1).toInt(), int(Qt::Checked));
    clickBox(b1);
    clickBox(b1);
    EXPECT_EQ(states(tree), "部门信息:3 A:2 a1:2 a2:- AA:- aa1:- B:1 b1:1 p0:-");
    EXPECT_EQ(checkState(root).toInt(), int(Qt::PartiallyChecked));
}

TEST_F(CheckTreeTest, RemovedCheckBoxesKeepStatesAndIgnoreClicks) {
    tree.setStateAll(CheckTree::Checked);
    const QRect formerBox = tree.checkBoxRect(a1);
    tree.removeCheckBoxes();
    EXPECT_FALSE(tree.hasCheckBoxes());
    EXPECT_TRUE(tree.checkBoxRect(a1).isEmpty());
    EXPECT_FALSE(checkState(a1).isValid());
    QTest::mouseClick(tree.viewport(), Qt::LeftButton, {}, formerBox.center());
    EXPECT_EQ(tree.stateIndex(a1), CheckTree::Checked);
    // Nor does Space tick anything the user cannot see.
    tree.setFocus();
    for (int node : {a, b1}) {
        tree.setCurrentNode(node);
        QTest::keyClick(&tree, Qt::Key_Space);
    }
    EXPECT_EQ(states(tree), "部门信息:2 A:2 a1:2 a2:2 AA:2 aa1:2 B:2 b1:2 p0:2");
    // The user's toggle is gone with the boxes, but states stay readable and settable.
    tree.setStateIndex(a1, CheckTree::Unchecked);
    EXPECT_EQ(tree.stateIndex(a1), CheckTree::Unchecked);
}

}  // namespace
