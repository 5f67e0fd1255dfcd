// Long names in the trees: never cut short, the full text as the tooltip (asked for the way
// the pointer asks, by a tooltip event) and a column that grows past the view so the tree
// scrolls sideways; pictures of it for a person to look at.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QHeaderView>
#include <QHelpEvent>
#include <QScrollBar>
#include <QTest>
#include <QTextDocument>
#include <QToolTip>

#include "CheckTree.h"
#include "ImageList.h"
#include "UiTestSupport.h"

using cv::CheckTree;
using namespace uitest;

namespace {

QString screenshotPath(const QString& name) { return QDir::tempPath() + '/' + name; }

// The text of the tooltip the view shows for the node under `pos` (viewport coordinates) as
// the reader sees it, or the empty text when none shows.
QString tooltipAt(CheckTree& tree, const QPoint& pos) {
    QToolTip::hideText();
    QHelpEvent event(QEvent::ToolTip, pos, tree.viewport()->mapToGlobal(pos));
    QApplication::sendEvent(tree.viewport(), &event);
    if (!QToolTip::isVisible()) return {};
    if (!Qt::mightBeRichText(QToolTip::text())) return QToolTip::text();
    QTextDocument shown;
    shown.setHtml(QToolTip::text());
    return shown.toPlainText();
}

// The tooltip's own window, for a picture of it.
QWidget* tooltipWindow() {
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (widget->inherits("QTipLabel") && widget->isVisible()) return widget;
    return nullptr;
}

TEST(NodeTree, LongNamesAreShownWholeAsTooltipsAndScrolledTo) {
    const QString longName =
        QStringLiteral("研发中心第一事业部嵌入式软件平台与工具链联合攻关小组（华东）");
    const QString markup = QStringLiteral("<b>粗</b> & 细");
    struct Case {
        const char* what;
        int fillers;       // people under the department before the named one
        QString name;      // the node looked at
        QString expected;  // its tooltip
        bool wider;        // wider than the view
    };
    const Case cases[] = {
        {"a long department name", 0, longName, longName, true},
        {"a short name: the tooltip all the same", 0, "张三", "张三", false},
        {"markup is shown as the text it is", 0, markup, markup, false},
        {"a long name far down a long list, scrolled into view", 3000, longName + "（末）",
         longName + "（末）", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const cv::ImageList pictures = cv::ImageList::treePictures();
        CheckTree tree;
        tree.setImageList(&pictures);
        tree.resize(300, 300);
        const int root = tree.nodes().append(-1, QStringLiteral("部门信息"));
        const int department = dept(tree, root, "研发部", "0001");
        for (int i = 0; i < c.fillers; ++i) person(tree, department, QString("人%1").arg(i), "F");
        const int node = person(tree, department, c.name, "P1");
        for (int i = 0; i < 20; ++i) person(tree, department, QString("后%1").arg(i), "G");
        tree.expandAll();
        tree.setStateAll(CheckTree::Checked);
        ASSERT_TRUE(showAndWait(tree));
        tree.scrollTo(tree.nodes().indexOf(node));
        QApplication::processEvents();  // the column is fitted once the view has moved
        QApplication::processEvents();

        const QRect row = tree.nodeRect(node);
        ASSERT_TRUE(tree.viewport()->rect().intersects(row));
        EXPECT_EQ(tooltipAt(tree, QPoint(30, row.center().y())), c.expected);
        // The column holds the whole text: indentation, tick box and text all fit.
        const int needed =
            2 * tree.indentation() + 16 + tree.fontMetrics().horizontalAdvance(c.name);
        EXPECT_GE(tree.header()->sectionSize(0), needed);
        EXPECT_GE(tree.header()->sectionSize(0), tree.viewport()->width());
        EXPECT_EQ(tree.horizontalScrollBar()->maximum() > 0, c.wider);

        if (c.fillers == 0 && c.wider) {
            // What a user sees: the start of the name with its tooltip, then the end of it
            // after scrolling to the right.
            QWidget* tip = tooltipWindow();
            ASSERT_NE(tip, nullptr);
            EXPECT_TRUE(tree.grab().save(screenshotPath("tree_long_name.png")));
            EXPECT_TRUE(tip->grab().save(screenshotPath("tree_long_name_tooltip.png")));
            tree.horizontalScrollBar()->setValue(tree.horizontalScrollBar()->maximum());
            QApplication::processEvents();
            EXPECT_TRUE(tree.grab().save(screenshotPath("tree_long_name_scrolled.png")));
        }
        QToolTip::hideText();
    }
}

}  // namespace
