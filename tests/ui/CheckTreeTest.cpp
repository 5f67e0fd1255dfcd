// The check tree driven the way a user drives it: mouse presses on the tick box and Space
// key releases.
#include <gtest/gtest.h>

#include <QKeyEvent>
#include <QTest>
#include <functional>
#include <random>
#include <vector>

#include "CheckTree.h"
#include "UiTestSupport.h"

using cv::CheckTree;
using cv::TreeNode;
using namespace uitest;

namespace {

// 部门信息 (no record)
//   A{a1, a2, AA{aa1}}
//   B{b1}
//   p0
class CheckTreeTest : public ::testing::Test {
protected:
    void SetUp() override {
        root = tree.appendNode(nullptr, QStringLiteral("部门信息"));
        root->imageIndex = 0;
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

    void clickBox(QTreeWidgetItem* node) {
        const QRect box = tree.checkBoxRect(node);
        ASSERT_FALSE(box.isEmpty()) << node->text(0).toStdString();
        QTest::mouseClick(tree.viewport(), Qt::LeftButton, {}, box.center());
    }

    CheckTree tree;
    TreeNode *root, *a, *a1, *a2, *aa, *aa1, *b, *b1, *p0;
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
    QTest::mouseRelease(tree.viewport(), Qt::LeftButton, {}, tree.visualItemRect(b1).center());
    EXPECT_EQ(states(tree), before);
    // Pressed on the node's text, not its box.
    QTest::mouseClick(tree.viewport(), Qt::LeftButton, {}, tree.visualItemRect(a1).center());
    EXPECT_EQ(states(tree), before);
    // The right button does nothing.
    QTest::mouseClick(tree.viewport(), Qt::RightButton, {}, tree.checkBoxRect(a1).center());
    EXPECT_EQ(states(tree), before);
    // A press at the row's top edge, above the drawn box, still hits it; and the release
    // may be anywhere on the same row.
    const QPoint rowTop(tree.checkBoxRect(a1).center().x(), tree.visualItemRect(a1).top());
    QTest::mousePress(tree.viewport(), Qt::LeftButton, {}, rowTop);
    QTest::mouseRelease(tree.viewport(), Qt::LeftButton, {}, tree.visualItemRect(a1).center());
    EXPECT_EQ(CheckTree::stateIndex(a1), CheckTree::Unchecked);
    EXPECT_THROW(tree.setStateAll(4), std::invalid_argument);
}

TEST_F(CheckTreeTest, SpaceReleaseTogglesTheSelectedNode) {
    tree.setStateAll(CheckTree::Checked);
    tree.setCurrentItem(aa);
    QTest::keyPress(&tree, Qt::Key_Space);
    EXPECT_EQ(CheckTree::stateIndex(aa), CheckTree::Checked) << "the press does nothing";
    QTest::keyRelease(&tree, Qt::Key_Space);
    EXPECT_EQ(states(tree), "部门信息:3 A:3 a1:2 a2:2 AA:1 aa1:1 B:2 b1:2 p0:2");

    // An auto-repeated release does not toggle again.
    QKeyEvent repeat(QEvent::KeyRelease, Qt::Key_Space, Qt::NoModifier, " ", true);
    QCoreApplication::sendEvent(&tree, &repeat);
    EXPECT_EQ(CheckTree::stateIndex(aa), CheckTree::Unchecked);

    // Nothing selected: nothing toggles.
    tree.clearSelection();
    tree.setCurrentItem(nullptr);
    const QString before = states(tree);
    QTest::keyClick(&tree, Qt::Key_Space);
    EXPECT_EQ(states(tree), before);
}

TEST_F(CheckTreeTest, NodeInStateZeroHasNoBoxAndNeverToggles) {
    tree.setStateAll(CheckTree::Checked);
    tree.setStateIndex(a2, CheckTree::NoCheckBox);
    EXPECT_TRUE(tree.checkBoxRect(a2).isEmpty());
    EXPECT_FALSE(a2->data(0, Qt::CheckStateRole).isValid());
    tree.setCurrentItem(a2);
    QTest::keyClick(&tree, Qt::Key_Space);
    EXPECT_EQ(CheckTree::stateIndex(a2), CheckTree::NoCheckBox);
    // A state-0 child counts as neither checked nor unchecked for its parent.
    clickBox(a1);
    EXPECT_EQ(CheckTree::stateIndex(a), CheckTree::PartiallyChecked);  // a1 off, AA on
    clickBox(aa);
    EXPECT_EQ(CheckTree::stateIndex(a), CheckTree::Unchecked);
}

TEST_F(CheckTreeTest, NeverSetShowsUncheckedButCountsAsNeither) {
    EXPECT_EQ(CheckTree::stateIndex(a1), TreeNode::NeverSet);
    EXPECT_EQ(a1->data(0, Qt::CheckStateRole).toInt(), int(Qt::Unchecked));
    clickBox(a1);
    // a2 and AA were never set: A has one checked child and no unchecked one.
    EXPECT_EQ(states(tree), "部门信息:2 A:2 a1:2 a2:- AA:- aa1:- B:- b1:- p0:-");
    EXPECT_EQ(a1->data(0, Qt::CheckStateRole).toInt(), int(Qt::Checked));
    clickBox(b1);
    clickBox(b1);
    EXPECT_EQ(states(tree), "部门信息:3 A:2 a1:2 a2:- AA:- aa1:- B:1 b1:1 p0:-");
    EXPECT_EQ(root->data(0, Qt::CheckStateRole).toInt(), int(Qt::PartiallyChecked));
}

TEST_F(CheckTreeTest, RemovedCheckBoxesKeepStatesAndIgnoreClicks) {
    tree.setStateAll(CheckTree::Checked);
    const QRect formerBox = tree.checkBoxRect(a1);
    tree.removeCheckBoxes();
    EXPECT_FALSE(tree.hasCheckBoxes());
    EXPECT_TRUE(tree.checkBoxRect(a1).isEmpty());
    EXPECT_FALSE(a1->data(0, Qt::CheckStateRole).isValid());
    QTest::mouseClick(tree.viewport(), Qt::LeftButton, {}, formerBox.center());
    EXPECT_EQ(CheckTree::stateIndex(a1), CheckTree::Checked);
    // Nor does Space tick anything the user cannot see.
    tree.setFocus();
    for (TreeNode* node : {a, b1}) {
        tree.setCurrentItem(node);
        QTest::keyClick(&tree, Qt::Key_Space);
    }
    EXPECT_EQ(states(tree), "部门信息:2 A:2 a1:2 a2:2 AA:2 aa1:2 B:2 b1:2 p0:2");
    // The user's toggle is gone with the boxes, but states stay readable and settable.
    tree.setStateIndex(a1, CheckTree::Unchecked);
    EXPECT_EQ(CheckTree::stateIndex(a1), CheckTree::Unchecked);
}

// The walks (and the cascade) read an index of the list order that the tree makes again after
// the model reports a change. Held to a walk of the children as the tree has them, and to the
// cascade done node by node, after every kind of change on seeded random trees: nodes added
// in and out of the tree, deleted, taken out, moved to another tree, sorted, cleared, and
// items of another type among them.
namespace reference {

void walk(QTreeWidgetItem* item, int level, std::vector<std::pair<QTreeWidgetItem*, int>>& out) {
    out.emplace_back(item, level);
    for (int i = 0; i < item->childCount(); ++i) walk(item->child(i), level + 1, out);
}

std::vector<std::pair<QTreeWidgetItem*, int>> listOrder(const QTreeWidget& tree) {
    std::vector<std::pair<QTreeWidgetItem*, int>> out;
    for (int i = 0; i < tree.topLevelItemCount(); ++i) walk(tree.topLevelItem(i), 0, out);
    return out;
}

void setSubtree(QTreeWidgetItem* item, int state) {
    if (TreeNode* node = cv::NodeTree::asNode(item)) node->state = state;
    for (int i = 0; i < item->childCount(); ++i) setSubtree(item->child(i), state);
}

// The user's toggle as the check tree documents it.
void toggle(TreeNode* node) {
    if (node->state == CheckTree::NoCheckBox) return;
    setSubtree(node, node->state == CheckTree::Checked ? CheckTree::Unchecked : CheckTree::Checked);
    for (QTreeWidgetItem* up = node->parent(); up != nullptr; up = up->parent()) {
        int checked = 0, unchecked = 0, partial = 0;
        for (int i = 0; i < up->childCount(); ++i) {
            const int state = CheckTree::stateIndex(up->child(i));
            checked += state == CheckTree::Checked;
            unchecked += state == CheckTree::Unchecked;
            partial += state == CheckTree::PartiallyChecked;
        }
        if (TreeNode* parent = cv::NodeTree::asNode(up)) {
            parent->state = partial > 0 || (checked > 0 && unchecked > 0)
                                ? CheckTree::PartiallyChecked
                            : checked > 0 ? CheckTree::Checked
                                          : CheckTree::Unchecked;
        }
    }
}

}  // namespace reference

TEST(CheckTreeIndex, WalksAndCascadesSeeTheTreeAsItIsAfterEveryChange) {
    std::vector<int> seenOps(10, 0);
    for (unsigned seed = 1; seed <= 300 && !::testing::Test::HasFailure(); ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 random(seed);
        const auto pick = [&](int n) { return int(random() % unsigned(n)); };
        CheckTree tree;
        CheckTree other;
        int made = 0;
        const auto newItem = [&]() -> QTreeWidgetItem* {
            const QString text = QString::number(pick(50)) + "#" + QString::number(made++);
            if (pick(8) == 0) return new QTreeWidgetItem(QStringList{text});  // another type
            TreeNode* node = cv::NodeTree::newNode(text, cv::makeRecord({text, "1", {}, {}, {}}));
            node->state = pick(5) - 1;
            return node;
        };
        const auto anyItem = [&](const CheckTree& in) -> QTreeWidgetItem* {
            const auto all = reference::listOrder(in);
            return all.empty() ? nullptr : all[std::size_t(pick(int(all.size())))].first;
        };
        std::vector<QTreeWidgetItem*> detached;
        for (int step = 0; step < 60; ++step) {
            QTreeWidgetItem* at = anyItem(tree);
            const int op = pick(10);
            ++seenOps[std::size_t(op)];
            switch (op) {
                case 0:
                case 1:  // a node added in the tree
                    if (at != nullptr && pick(3) > 0) {
                        at->insertChild(pick(at->childCount() + 1), newItem());
                    } else {
                        tree.insertTopLevelItem(pick(tree.topLevelItemCount() + 1), newItem());
                    }
                    break;
                case 2: {  // a subtree made apart, then put in
                    QTreeWidgetItem* top = newItem();
                    for (int i = pick(4); i > 0; --i) top->addChild(newItem());
                    if (top->childCount() > 0) top->child(0)->addChild(newItem());
                    if (at != nullptr)
                        at->addChild(top);
                    else
                        tree.addTopLevelItem(top);
                    break;
                }
                case 3:  // deleted
                    delete at;
                    break;
                case 4:  // taken out, kept apart (and toggled there)
                    if (at != nullptr) {
                        if (at->parent() != nullptr) {
                            at->parent()->removeChild(at);
                        } else {
                            tree.takeTopLevelItem(tree.indexOfTopLevelItem(at));
                        }
                        detached.push_back(at);
                    }
                    break;
                case 5:  // moved to another tree, or a kept-apart subtree put back
                    if (!detached.empty()) {
                        QTreeWidgetItem* back = detached.back();
                        detached.pop_back();
                        if (at != nullptr)
                            at->addChild(back);
                        else
                            tree.addTopLevelItem(back);
                    } else if (at != nullptr && at->parent() != nullptr) {
                        at->parent()->removeChild(at);
                        other.addTopLevelItem(at);
                        other.setStateAll(CheckTree::Checked);  // the other tree's index
                    }
                    break;
                case 6:  // every child taken out at once, and deleted
                    if (at != nullptr) qDeleteAll(at->takeChildren());
                    break;
                case 7:
                    tree.sortItems(0, pick(2) ? Qt::AscendingOrder : Qt::DescendingOrder);
                    break;
                case 8:
                    if (pick(6) == 0) tree.clear();
                    break;
                default:
                    tree.setStateAll(pick(4));
                    break;
            }
            std::vector<std::pair<QTreeWidgetItem*, int>> walked;
            tree.forEachNode(
                [&](QTreeWidgetItem* node, int level) { walked.emplace_back(node, level); });
            ASSERT_EQ(walked, reference::listOrder(tree)) << "after op " << op;
            ASSERT_EQ(tree.nodeCount(), int(walked.size()));

            // A toggle of some node, in the tree or kept apart, against the reference.
            QTreeWidgetItem* target =
                pick(4) == 0 && !detached.empty() ? detached.back() : anyItem(tree);
            if (TreeNode* node = cv::NodeTree::asNode(target)) {
                QTreeWidgetItem* top = node;
                while (top->parent() != nullptr) top = top->parent();
                std::vector<std::pair<QTreeWidgetItem*, int>> before;
                reference::walk(top, 0, before);
                std::vector<int> states;
                for (const auto& [item, level] : before)
                    states.push_back(CheckTree::stateIndex(item));
                tree.toggle(node);
                std::vector<int> toggled;
                for (const auto& [item, level] : before)
                    toggled.push_back(CheckTree::stateIndex(item));
                for (std::size_t i = 0; i < before.size(); ++i) {
                    if (TreeNode* n = cv::NodeTree::asNode(before[i].first)) n->state = states[i];
                }
                reference::toggle(node);
                for (std::size_t i = 0; i < before.size(); ++i) {
                    ASSERT_EQ(toggled[i], CheckTree::stateIndex(before[i].first))
                        << "node " << before[i].first->text(0).toStdString() << " after op " << op;
                }
            }
        }
        for (QTreeWidgetItem* item : detached) delete item;
    }
    for (int op = 0; op < 10; ++op) EXPECT_GT(seenOps[std::size_t(op)], 100) << op;
}

}  // namespace
