// The selection frame: its information panel, the target tree with its drag and drop and
// menu commands, and the tree opening.
#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QDrag>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QTest>

#include "MessageBox.h"
#include "TFramePerson.h"
#include "UiTestSupport.h"

using cv::CheckTree;
using cv::MessageBox;
using cv::NodeModel;
using cv::NodeTree;
using cv::TFramePerson;
using namespace uitest;

constexpr auto Fatal = QAbstractItemModelTester::FailureReportingMode::Fatal;

namespace {

// A database tree in the check tree:
// 部门信息 (no record){研发部{张三, 软件组{李四, 王五}, 孤儿}, 市场部{赵六, 孤儿}, 孤儿}
// 孤儿 has no department, so the database lists that person under every department.
class FramePersonTest : public ::testing::Test {
protected:
    void SetUp() override {
        CheckTree& ct = *frame.CTDeptPerson;
        root = ct.nodes().append(-1, QStringLiteral("部门信息"), {}, 0);
        d1 = dept(ct, root, "研发部", "0001");
        p1 = person(ct, d1, "张三", "P1", "zhangsan", "男");
        d2 = dept(ct, d1, "软件组", "00010001");
        p2 = person(ct, d2, "李四", "P2", "lisi", "女");
        p3 = person(ct, d2, "王五", "P3", "wangwu", "男");
        orphanInD1 = person(ct, d1, "孤儿", "P0", "guer", "女");
        d3 = dept(ct, root, "市场部", "0002");
        p4 = person(ct, d3, "赵六", "P4", "zhaoliu", "男");
        orphanInD3 = person(ct, d3, "孤儿", "P0", "guer", "女");
        orphan = person(ct, root, "孤儿", "P0", "guer", "女");
        ct.expandAll();
        frame.resize(640, 480);
    }

    // The target tree shown in front, as a configuration that exposes it would show it.
    void exposeTargetTree() {
        frame.PnlImport->hide();
        ASSERT_TRUE(showAndWait(frame));
    }

    void drop(int dragged, int onto = -1) {
        frame.CTDeptPerson->setCurrentNode(dragged);
        const QPoint pos =
            onto >= 0 ? frame.TvDeptPerson->nodeRect(onto).center() : emptyTargetPoint();
        frame.TvDeptPersonDragDrop(frame.CTDeptPerson, pos);
    }

    QPoint emptyTargetPoint() const {
        return QPoint(5, frame.TvDeptPerson->viewport()->height() - 3);
    }

    QString target() const { return describe(*frame.TvDeptPerson); }

    TFramePerson frame;
    int root, d1, p1, d2, p2, p3, orphanInD1, d3, p4, orphanInD3, orphan;
    QAbstractItemModelTester checkTreeTester{&frame.CTDeptPerson->nodes(), Fatal};
    QAbstractItemModelTester targetTreeTester{&frame.TvDeptPerson->nodes(), Fatal};
};

TEST_F(FramePersonTest, InformationPanelShowsTheClickedNode) {
    ASSERT_TRUE(showAndWait(frame));
    CheckTree& ct = *frame.CTDeptPerson;
    auto panel = [this] {
        return QStringList{frame.EdtDeptID->text(),  frame.EdtDeptName->text(),
                           frame.EdtPerUUID->text(), frame.EdtPerName->text(),
                           frame.EdtPerSex->text(),  frame.EdtLoginName->text()}
            .join(u'|');
    };
    struct Case {
        int node;
        QString expected;
    };
    const Case cases[] = {
        {p2, "00010001|软件组|P2|李四|女|lisi"},
        {d1, "0001|研发部||||"},
        // The root has no record: the panel stays as it was.
        {root, "0001|研发部||||"},
        // A person directly under the record-less root has no department to show.
        {orphan, "||P0|孤儿|女|guer"},
    };
    const auto click = [&](int node) {
        QTest::mouseClick(ct.viewport(), Qt::LeftButton, {}, ct.nodeRect(node).center());
    };
    for (const Case& c : cases) {
        click(c.node);
        EXPECT_EQ(panel(), c.expected) << ct.nodes().text(c.node).toStdString();
    }
    // A Kind other than "0" and "1" is shown as a person.
    click(person(ct, d1, "怪", "X9", "odd", "?"));
    EXPECT_EQ(panel(), "0001|研发部|X9|怪|?|odd");
    // A package tree's root is a department record with empty fields: it empties all six.
    const int packageRoot =
        ct.nodes().append(-1, "部门信息", cv::TreeNodeData{{}, "0", {}, {}, {}});
    click(packageRoot);
    EXPECT_EQ(panel(), "|||||");
}

TEST_F(FramePersonTest, DropAcceptanceFollowsTheLevels) {
    exposeTargetTree();
    drop(p2);  // target: 部门信息{研发部{软件组{李四}}}
    ASSERT_EQ(target(), "部门信息{研发部{软件组{李四}}}");
    const int tRoot = 0;
    const int tD1 = 1;
    const int tD2 = 2;
    struct Case {
        const char* name;
        int dragged;
        int over;  // -1: no node under the pointer
        bool accepted;
    };
    const Case cases[] = {
        {"department over empty space", d1, -1, true},
        {"person over the root", p2, tRoot, true},
        {"person over a shallower department", p2, tD2, true},
        {"department over a node of its own level", d2, tD2, false},
        {"department over a deeper node", d1, tD2, false},
        {"department over the root", d1, tRoot, true},
        {"root over the root", root, tRoot, true},
        {"root over a deeper node", root, tD1, false},
    };
    for (const Case& c : cases) {
        frame.CTDeptPerson->setCurrentNode(c.dragged);
        const QPoint pos =
            c.over >= 0 ? frame.TvDeptPerson->nodeRect(c.over).center() : emptyTargetPoint();
        ASSERT_EQ(frame.TvDeptPerson->nodeAt(pos), c.over) << c.name;
        EXPECT_EQ(frame.TvDeptPersonDragOver(frame.CTDeptPerson, pos), c.accepted) << c.name;
    }
    // Only drags of the check tree's selected node are taken.
    frame.CTDeptPerson->setCurrentNode(p2);
    EXPECT_FALSE(frame.TvDeptPersonDragOver(frame.TvDeptPerson, emptyTargetPoint()));
    EXPECT_FALSE(frame.TvDeptPersonDragOver(nullptr, emptyTargetPoint()));
    frame.CTDeptPerson->clearSelection();
    frame.CTDeptPerson->setCurrentNode(-1);
    EXPECT_FALSE(frame.TvDeptPersonDragOver(frame.CTDeptPerson, emptyTargetPoint()));
}

TEST_F(FramePersonTest, DropsMergeIntoTheTargetTree) {
    exposeTargetTree();
    struct Step {
        const char* name;
        int dragged;
        const char* expected;
    };
    const Step steps[] = {
        {"a person brings its departments", p2, "部门信息{研发部{软件组{李四}}}"},
        {"a person whose departments exist is added alone", p3,
         "部门信息{研发部{软件组{李四,王五}}}"},
        {"the same person again changes nothing", p3, "部门信息{研发部{软件组{李四,王五}}}"},
        {"a person beside the department", p1, "部门信息{研发部{软件组{李四,王五},张三}}"},
        {"a department already there is replaced by a fresh copy appended last", d2,
         "部门信息{研发部{张三,软件组{李四,王五}}}"},
        {"a person of another department", p4,
         "部门信息{研发部{张三,软件组{李四,王五}},市场部{赵六}}"},
        {"a person is matched by ID on its level, whatever its parent", orphanInD1,
         "部门信息{研发部{张三,软件组{李四,王五},孤儿},市场部{赵六}}"},
        {"so the same person under another department adds nothing", orphanInD3,
         "部门信息{研发部{张三,软件组{李四,王五},孤儿},市场部{赵六}}"},
        {"the root replaces the whole tree", root,
         "部门信息{研发部{张三,软件组{李四,王五},孤儿},市场部{赵六,孤儿},孤儿}"},
    };
    for (const Step& step : steps) {
        drop(step.dragged);
        EXPECT_EQ(target(), step.expected) << step.name;
    }
    // Copies share the check tree's records and show its pictures; the tree is fully open.
    const NodeModel& copies = frame.TvDeptPerson->nodes();
    const int copy = nodeNamed(*frame.TvDeptPerson, "李四");
    EXPECT_TRUE(copies.sameRecord(copy, frame.CTDeptPerson->nodes(), p2));
    EXPECT_EQ(copies.image(copy), 1);
    EXPECT_EQ(copies.selectedImage(copy), 1);
    EXPECT_EQ(copies.selectedImage(nodeNamed(*frame.TvDeptPerson, "软件组")), 0);
    EXPECT_TRUE(frame.TvDeptPerson->isOpen(copies.parentOf(copy)));
    EXPECT_TRUE(frame.TvDeptPerson->isOpen(0));
}

TEST_F(FramePersonTest, MenuCommandsAskBeforeDeleting) {
    struct Case {
        const char* command;
        const char* node;
        int answer;
        const char* question;  // "" when nothing is asked
        int flags;
        const char* expected;  // "" when the tree stays whole
    };
    const QString full = "部门信息{研发部{张三,软件组{李四,王五},孤儿},市场部{赵六,孤儿},孤儿}";
    const int yes = MessageBox::IdYes;
    const int no = MessageBox::IdNo;
    const Case cases[] = {
        {"删除该节点", "软件组", no, "确定删除该节点（软件组）及所有子节点吗？", 36, ""},
        {"删除该节点", "软件组", yes, "确定删除该节点（软件组）及所有子节点吗？", 36,
         "部门信息{研发部{张三,孤儿},市场部{赵六,孤儿},孤儿}"},
        {"删除该节点", "李四", no, "确定删除该节点（李四）吗？", 36, ""},
        {"删除该节点", "李四", yes, "确定删除该节点（李四）吗？", 36,
         "部门信息{研发部{张三,软件组{王五},孤儿},市场部{赵六,孤儿},孤儿}"},
        {"删除该节点", "部门信息", yes, "确定删除该节点（部门信息）及所有子节点吗？", 36,
         "部门信息"},
        {"删除所有子节点", "研发部", no, "确定删除该节点（研发部）的所有子字节点吗？", 36, ""},
        {"删除所有子节点", "研发部", yes, "确定删除该节点（研发部）的所有子字节点吗？", 36,
         "部门信息{研发部,市场部{赵六,孤儿},孤儿}"},
        {"删除所有子节点", "赵六", MessageBox::IdOk, "该节点（赵六）没有子字节点！", 0, ""},
        {"清空列表", "赵六", 0, "", 0, "部门信息"},
        {"刷新树列表", "赵六", 0, "", 0, ""},
    };
    exposeTargetTree();
    for (const Case& c : cases) {
        drop(root);
        // Back to the whole tree as the only top-level node.
        NodeTree& tv = *frame.TvDeptPerson;
        while (tv.nodes().childCount(-1) > 1) tv.nodes().remove(0);
        ASSERT_EQ(target(), full);
        EXPECT_FALSE(MessageBox::answerPending());
        const int node = nodeNamed(tv, c.node);
        // A right press on the node selects it and brings up the menu.
        QTest::mousePress(tv.viewport(), Qt::RightButton, {}, tv.nodeRect(node).center());
        QTest::mouseRelease(tv.viewport(), Qt::RightButton, {}, tv.nodeRect(node).center());
        ASSERT_EQ(tv.selectedNode(), node) << c.command;
        const QPoint at = tv.nodeRect(node).center();
        QContextMenuEvent menuEvent(QContextMenuEvent::Mouse, at, tv.viewport()->mapToGlobal(at));
        QCoreApplication::sendEvent(tv.viewport(), &menuEvent);
        EXPECT_TRUE(frame.TBPopupMenu1->isVisible()) << c.command;
        frame.TBPopupMenu1->hide();

        QAction* action = nullptr;
        for (QAction* candidate : frame.TBPopupMenu1->actions()) {
            if (candidate->text() == QString::fromUtf8(c.command)) {
                action = candidate;
            }
        }
        ASSERT_NE(action, nullptr) << c.command;
        const int shownBefore = MessageBox::shownCount();
        const bool asks = *c.question != '\0';
        if (asks) {
            MessageBox::setNextAnswer(c.answer);
        }
        action->trigger();
        if (!asks) {
            EXPECT_EQ(MessageBox::shownCount(), shownBefore) << c.command;
        } else {
            EXPECT_EQ(MessageBox::shownCount(), shownBefore + 1) << c.command;
            EXPECT_EQ(MessageBox::lastText(), QString::fromUtf8(c.question));
            EXPECT_EQ(MessageBox::lastFlags(), c.flags) << c.question;
        }
        EXPECT_EQ(target(), *c.expected ? QString::fromUtf8(c.expected) : full)
            << c.command << " " << c.node;
    }
}

TEST_F(FramePersonTest, MenuNeedsANodeUnderThePointer) {
    exposeTargetTree();
    NodeTree& tv = *frame.TvDeptPerson;
    QTest::mousePress(tv.viewport(), Qt::RightButton, {}, emptyTargetPoint());
    QContextMenuEvent menuEvent(QContextMenuEvent::Mouse, emptyTargetPoint(),
                                tv.viewport()->mapToGlobal(emptyTargetPoint()));
    QCoreApplication::sendEvent(tv.viewport(), &menuEvent);
    EXPECT_FALSE(frame.TBPopupMenu1->isVisible());
    // Without a selected node the commands do nothing and ask nothing.
    tv.clearSelection();
    tv.setCurrentNode(-1);
    const int shownBefore = MessageBox::shownCount();
    frame.TBItem3Click();
    frame.TBItem4Click();
    frame.TBItem5Click();
    EXPECT_EQ(MessageBox::shownCount(), shownBefore);
    EXPECT_EQ(target(), "部门信息");
}

TEST_F(FramePersonTest, ExpandToLevelOpensTheLevelsAbove) {
    auto openNodes = [this] {
        QStringList open;
        frame.CTDeptPerson->nodes().forEachNode([&](int node, int) {
            if (frame.CTDeptPerson->isOpen(node)) open << frame.CTDeptPerson->nodes().text(node);
        });
        return open.join(u',');
    };
    frame.CTDeptPerson->expandAll();
    frame.ExpandToLevel(1);
    EXPECT_EQ(openNodes(), "部门信息");
    frame.ExpandToLevel(2);
    EXPECT_EQ(openNodes(), "部门信息,研发部,市场部");
}

// Real presses, moves and releases. The offscreen platform ends every drag at once without a
// drop (the drop itself is driven through the target tree's handlers above), so these cases
// look at the drag that starts, at the node it carries (the selected one), and at the panel.
TEST_F(FramePersonTest, WithoutTickBoxesADragStartsOnlyPastTheDragDistanceAndAClickFillsThePanel) {
    CheckTree& ct = *frame.CTDeptPerson;
    ASSERT_TRUE(showAndWait(frame));
    const int distance = QApplication::startDragDistance();
    const int rowHeight = ct.nodeRect(p1).height();
    struct Case {
        const char* name;
        bool tickBoxes;
        Qt::MouseButton button;
        int pressed;
        QPoint travel;  // with the button held, before the release
        int dragged;    // what a drag carried; -1: no drag started
        QString panel;  // EdtPerUUID|EdtDeptID afterwards
    };
    const Case cases[] = {
        {"click, tick boxes shown", true, Qt::LeftButton, p2, {}, -1, "P2|00010001"},
        {"long travel, tick boxes shown",
         true,
         Qt::LeftButton,
         p4,
         {3 * distance, 0},
         -1,
         "P4|0002"},
        {"click", false, Qt::LeftButton, p3, {}, -1, "P3|00010001"},
        {"travel short of the distance",
         false,
         Qt::LeftButton,
         p1,
         {distance - 1, 0},
         -1,
         "P1|0001"},
        {"travel of the distance", false, Qt::LeftButton, p4, {distance, 0}, p4, "|"},
        {"travel across rows", false, Qt::LeftButton, d2, {0, 3 * rowHeight}, d2, "|"},
        {"right button", false, Qt::RightButton, p2, {3 * distance, 0}, -1, "|"},
        {"click after a drag", false, Qt::LeftButton, d1, {}, -1, "|0001"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.tickBoxes && ct.hasCheckBoxes()) ct.removeCheckBoxes();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);  // earlier drags
        frame.EdtPerUUID->clear();
        frame.EdtDeptID->clear();
        const QPoint at = ct.nodeRect(c.pressed).center();
        QTest::mousePress(ct.viewport(), c.button, {}, at);
        if (!c.travel.isNull()) QTest::mouseMove(ct.viewport(), at + c.travel);
        QTest::mouseRelease(ct.viewport(), c.button, {}, at + c.travel);
        const QList<QDrag*> drags = ct.findChildren<QDrag*>();
        if (c.dragged >= 0) {
            ASSERT_EQ(drags.size(), 1);
            EXPECT_EQ(drags[0]->source(), &ct);
            EXPECT_FALSE(drags[0]->mimeData()->formats().isEmpty());
            EXPECT_EQ(ct.selectedNode(), c.dragged);
        } else {
            EXPECT_TRUE(drags.isEmpty());
        }
        EXPECT_EQ(frame.EdtPerUUID->text() + '|' + frame.EdtDeptID->text(), c.panel);
    }
}

}  // namespace
