// The preview dialog run modally the way the host runs it, closed by the user's keys and
// button; and pictures of it and of the export frame for a person to look at.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <functional>

#include "HostContext.h"
#include "PackageOperations.h"
#include "TDM_PersonPack.h"
#include "TFramePerson.h"
#include "TFrm_PersonView.h"
#include "TestHost.h"
#include "UiTestSupport.h"

using cv::CheckTree;
using cv::TFramePerson;
using cv::TFrm_PersonView;
using testhost::Installation;
using namespace uitest;

namespace {

// Where the pictures go; a person looks at them after the run.
QString screenshotPath(const char* name) { return QDir::tempPath() + '/' + name; }

class PersonViewTest : public ::testing::Test {
protected:
    void SetUp() override { cv::installContext(inst.application(), nullptr, nullptr); }
    void TearDown() override { cv::installContext(nullptr, nullptr, nullptr); }

    // Runs PackageView; `whileShown` runs once the dialog is the active modal window.
    int runView(std::function<void(TFrm_PersonView&)> whileShown) {
        shown = false;
        QTimer::singleShot(0, &timers, [this, whileShown] { poll(whileShown, 200); });
        return cv::PackageView();
    }

    void poll(std::function<void(TFrm_PersonView&)> whileShown, int triesLeft) {
        auto* dialog = qobject_cast<TFrm_PersonView*>(QApplication::activeModalWidget());
        if (dialog == nullptr) {
            if (triesLeft > 0) {
                QTimer::singleShot(10, &timers, [this, whileShown, triesLeft] {
                    poll(whileShown, triesLeft - 1);
                });
            }
            return;
        }
        shown = true;
        EXPECT_TRUE(QTest::qWaitForWindowActive(dialog));
        whileShown(*dialog);
    }

    Installation inst{Installation::Content::SampleA};
    bool shown = false;
    QObject timers;  // pending polls end with the test
};

TEST_F(PersonViewTest, ShowsTheTreeOpenOneLevelWithoutTickBoxes) {
    int result = runView([](TFrm_PersonView& dialog) {
        EXPECT_EQ(cv::Frm_PersonView, &dialog);
        TFramePerson* frame = dialog.frame();
        ASSERT_NE(frame, nullptr);
        CheckTree& tree = *frame->CTDeptPerson;
        EXPECT_FALSE(tree.hasCheckBoxes());
        // The information panel and the target tree are not visible; the tree fills the area
        // above the bottom panel.
        EXPECT_FALSE(frame->PnlImport->isVisible() || frame->TvDeptPerson->isVisible());
        EXPECT_EQ(tree.geometry().width(), 492);
        const cv::NodeModel& nodes = tree.nodes();
        ASSERT_GT(nodes.size(), 0);
        EXPECT_TRUE(tree.isOpen(0));
        EXPECT_GT(nodes.childCount(0), 0);
        for (int child = 1; child < nodes.endOf(0); child = nodes.endOf(child))
            EXPECT_FALSE(tree.isOpen(child)) << nodes.text(child).toStdString();
        // Nothing ticked, nothing drawn as a box.
        for (int node = 0; node < nodes.size(); ++node) {
            EXPECT_EQ(nodes.state(node), cv::NodeModel::NeverSet);
            EXPECT_FALSE(nodes.indexOf(node).data(Qt::CheckStateRole).isValid());
        }
        EXPECT_TRUE(dialog.grab().save(screenshotPath("preview.png")));
        QTest::keyClick(&dialog, Qt::Key_Escape);
    });
    EXPECT_TRUE(shown);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(cv::Frm_PersonView, nullptr);
}

TEST_F(PersonViewTest, EveryWayOfClosingEndsWithModalResultTwo) {
    struct Case {
        const char* name;
        std::function<void(TFrm_PersonView&)> close;
    };
    const Case cases[] = {
        {"Esc", [](TFrm_PersonView& d) { QTest::keyClick(&d, Qt::Key_Escape); }},
        {"Alt+C", [](TFrm_PersonView& d) { QTest::keyClick(&d, Qt::Key_C, Qt::AltModifier); }},
        {"the close button",
         [](TFrm_PersonView& d) { QTest::mouseClick(d.BtBtnCancel, Qt::LeftButton); }},
        {"the close box", [](TFrm_PersonView& d) { d.close(); }},
    };
    for (const Case& c : cases) {
        int modalResult = -100;
        const int result = runView([&](TFrm_PersonView& dialog) {
            QObject::connect(&dialog, &QDialog::finished, [&](int r) { modalResult = r; });
            c.close(dialog);
            // A shortcut presses the button visibly first and clicks a moment later.
            EXPECT_TRUE(QTest::qWaitFor([&dialog] { return !dialog.isVisible(); }, 2000)) << c.name;
            if (dialog.isVisible()) {  // not closed: end the run, the test fails below
                dialog.done(99);
            }
        });
        EXPECT_TRUE(shown) << c.name;
        EXPECT_EQ(result, 1) << c.name;
        EXPECT_EQ(modalResult, 2) << c.name;
    }
}

TEST_F(PersonViewTest, NoWindowWhenTheStoreIsNotUsable) {
    cv::installContext(nullptr, nullptr, nullptr);
    EXPECT_EQ(runView([](TFrm_PersonView& dialog) { dialog.reject(); }), -1);
    EXPECT_FALSE(shown);
}

TEST_F(PersonViewTest, FailingTreeBuildReleasesTheDialog) {
    ASSERT_TRUE(cv::TDM_PersonPack::PrepareStore());
    inst.exec("ALTER TABLE CV_PersonInfo RENAME TO Gone_PersonInfo");
    EXPECT_EQ(runView([](TFrm_PersonView& dialog) { dialog.reject(); }), -1);
    EXPECT_FALSE(shown);
    EXPECT_EQ(cv::Frm_PersonView, nullptr);
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        EXPECT_EQ(qobject_cast<TFrm_PersonView*>(widget), nullptr);
    }
}

// The export configuration of the frame in a host window, for a person to look at.
TEST_F(PersonViewTest, ExportConfigurationPicture) {
    ASSERT_TRUE(cv::TDM_PersonPack::PrepareStore());
    QWidget hostWindow;
    hostWindow.resize(640, 480);
    auto* frame = new TFramePerson;
    ASSERT_TRUE(frame->LoadFromDatabase());
    frame->setParentWindow(&hostWindow);
    frame->SizePnl->setLockBar(true);
    frame->SizePnl->setPanelWidth(200);
    frame->ExpandToLevel(1);
    frame->CTDeptPerson->setStateAll(CheckTree::Checked);
    ASSERT_TRUE(showAndWait(hostWindow));
    CheckTree& tree = *frame->CTDeptPerson;
    const cv::NodeModel& nodes = tree.nodes();
    int dept = 1;  // the first department under the root
    while (dept < nodes.endOf(0) && nodes.isPerson(dept)) dept = nodes.endOf(dept);
    ASSERT_LT(dept, nodes.endOf(0));
    tree.expand(nodes.indexOf(dept));
    // Untick the first department, and show someone in the information panel.
    QTest::mouseClick(tree.viewport(), Qt::LeftButton, {}, tree.checkBoxRect(dept).center());
    int person = dept + 1;
    while (person < nodes.endOf(dept) && !nodes.isPerson(person)) person = nodes.endOf(person);
    ASSERT_LT(person, nodes.endOf(dept));
    QTest::mouseClick(tree.viewport(), Qt::LeftButton, {}, tree.nodeRect(person).center());
    EXPECT_EQ(tree.stateIndex(0), CheckTree::PartiallyChecked);
    EXPECT_FALSE(frame->EdtPerUUID->text().isEmpty());
    EXPECT_TRUE(hostWindow.grab().save(screenshotPath("frame_export.png")));
    // The frame fills the host's window and follows its size; the side panel keeps its width.
    EXPECT_EQ(frame->geometry(), hostWindow.rect());
    hostWindow.resize(800, 300);
    EXPECT_EQ(frame->geometry(), QRect(0, 0, 800, 300));
    QApplication::processEvents();
    EXPECT_EQ(frame->SizePnl->width(), 200);
    // The locked size bar does not move under the user's drag.
    QTest::mousePress(frame->SizePnl, Qt::LeftButton, {}, QPoint(3, 100));
    QTest::mouseMove(frame->SizePnl, QPoint(-60, 100));
    QTest::mouseRelease(frame->SizePnl, Qt::LeftButton, {}, QPoint(-60, 100));
    EXPECT_EQ(frame->SizePnl->width(), 200);
}

}  // namespace
