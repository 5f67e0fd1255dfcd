// The host's main window driven with real clicks: export from one installation, import into
// another, through the real plug-in.
#include <gtest/gtest.h>

#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

#include "MainWindow.h"
#include "TestHost.h"

namespace {

using testhost::Installation;

TEST(MainWindow, ExportsFromOneInstallationAndImportsIntoAnother) {
    Installation a(Installation::Content::SampleA);
    Installation b(Installation::Content::SampleB);  // the host's settings now point here
    corvane::Plugin plugin;
    QString error;
    ASSERT_TRUE(plugin.load(&error)) << error.toStdString();
    corvane::MainWindow window(plugin);
    window.show();

    window.databaseEdit->setText(a.target());
    QTest::mouseClick(window.openButton, Qt::LeftButton);
    EXPECT_FALSE(window.writeButton->isEnabled());
    QTest::mouseClick(window.exportButton, Qt::LeftButton);
    ASSERT_NE(window.framePanel->findChild<QTreeWidget*>(), nullptr)
        << window.statusLabel->text().toStdString();
    ASSERT_TRUE(window.writeButton->isEnabled());
    const QString package = b.folder() + "from-a.zip";
    window.nextPackageToWrite = package;
    QTest::mouseClick(window.writeButton, Qt::LeftButton);
    ASSERT_TRUE(QFile::exists(package)) << window.statusLabel->text().toStdString();
    EXPECT_EQ(window.framePanel->findChild<QTreeWidget*>(), nullptr);  // the frame is freed

    window.databaseEdit->setText(b.target());
    QTest::mouseClick(window.openButton, Qt::LeftButton);
    window.nextPackageToRead = package;
    QTest::mouseClick(window.importButton, Qt::LeftButton);
    ASSERT_TRUE(window.runImportButton->isEnabled()) << window.statusLabel->text().toStdString();
    const int before = b.count("SELECT count(*) FROM CV_PersonInfo");
    QTest::mouseClick(window.runImportButton, Qt::LeftButton);
    EXPECT_EQ(window.statusLabel->text(), QString::fromUtf8("导入完成"));
    EXPECT_GT(b.count("SELECT count(*) FROM CV_PersonInfo"), before + 20);
    EXPECT_EQ(b.scalar("SELECT LoginName FROM CV_PersonInfo WHERE PerUUID='310101199405050099'")
                  .left(8),
              "zhoujie_");
    EXPECT_FALSE(window.logList->findItems(QString::fromUtf8("要导入的注册名zhoujie已经存在"),
                                           Qt::MatchStartsWith)
                     .isEmpty());
}

}  // namespace
