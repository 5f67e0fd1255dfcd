// The host's main window driven with real clicks and keys through the real plug-in: a missing
// database refused, an export with two people unticked, an import into another installation,
// and the report of that import checked against the store and against `corvane import
// --report` run on the same data. Dialogs are answered as a user answers them: typing into
// Qt's own file dialog, pressing a message box's button.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QInputMethodEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QQueue>
#include <QScrollBar>
#include <QSettings>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <functional>

#include "Application.h"
#include "EmbeddedTree.h"
#include "HostSettings.h"
#include "MainWindow.h"
#include "TestHost.h"
#include "TextCodec.h"
#include "WindowDriver.h"

namespace {

using testhost::Installation;
using namespace windowdriver;

// Receives what the window asks the desktop to open.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl& url) { opened << url; }
};

QModelIndex nodeOf(QTreeView* tree, const QString& id) {
    QModelIndex found;
    corvane::forEachIndex(*tree->model(), [&](const QModelIndex& index) {
        if (!found.isValid() && index.data(Qt::UserRole).toString() == id) found = index;
    });
    return found;
}

// Selects the node as the host's own untick does, then toggles it with a real Space key.
void toggle(QTreeView* tree, const QModelIndex& node) {
    tree->setFocus();
    tree->setCurrentIndex(node);
    QTest::keyClick(tree, Qt::Key_Space);
}

// The rows and departments of a package's dataset files, counted by Python's zipfile.
QPair<int, int> packageRows(const QString& zip) {
    QProcess python;
    python.start("python3",
                 {"-c",
                  "import zipfile, sys\n"
                  "z = zipfile.ZipFile(sys.argv[1])\n"
                  "n = {i.filename.lower(): z.read(i).count(b'<ROW ') for i in z.infolist()}\n"
                  "print(n['perinfo.per'], n['deptinfo.per'])\n",
                  zip});
    python.waitForFinished(30000);
    const QList<QByteArray> counts = python.readAllStandardOutput().trimmed().split(' ');
    return counts.size() == 2 ? qMakePair(counts[0].toInt(), counts[1].toInt()) : qMakePair(-1, -1);
}

void screenshot(QWidget& window, const char* name) {
    const QString dir = qEnvironmentVariable("CV_SCREENSHOT_DIR");
    if (dir.isEmpty()) return;
    QApplication::processEvents();
    window.grab().save(dir + "/" + name);
}

TEST(MainWindow, ExportsImportsAndReportsAsCorvaneDoes) {
    Installation a(Installation::Content::SampleA);
    Installation cli(Installation::Content::SampleB);
    Installation b(Installation::Content::SampleB);  // the host's settings now point here
    QTemporaryDir home;
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, home.path());
    ASSERT_TRUE(corvane::setUpApplication()) << "Qt's Chinese translations are not installed";
    // The store refuses one person, so that someone is not stored.
    b.refuseInserts("CV_PersonInfo", "NEW.PerName = '孙丽'");
    cli.refuseInserts("CV_PersonInfo", "NEW.PerName = '孙丽'");
    corvane::Plugin plugin;
    QString error;
    ASSERT_TRUE(plugin.load(&error)) << error.toStdString();
    ModalAnswerer answer;
    UrlCatcher desktop;
    QDesktopServices::setUrlHandler("file", &desktop, "open");
    auto window = std::make_unique<corvane::MainWindow>(plugin);
    window->show();
    const QSize defaultSize = window->size();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));

    // A database file that does not exist is refused, and not made.
    const QString missing = a.folder() + "no-such.sqlite";
    Seen refused;
    answer.expect(press("确定", &refused));
    typeInto(window->databaseEdit, missing);
    QTest::keyClick(window->databaseEdit, Qt::Key_Return);
    EXPECT_TRUE(refused.text.contains("数据库文件不存在")) << refused.text.toStdString();
    EXPECT_FALSE(QFile::exists(missing));
    EXPECT_FALSE(window->exportButton->isEnabled());

    // Export from A.
    typeInto(window->databaseEdit, a.target());
    QTest::mouseClick(window->openButton, Qt::LeftButton);
    ASSERT_TRUE(window->exportButton->isEnabled()) << window->statusLabel->text().toStdString();
    // The address as it was given (a server's %3D stays as it is), without a password.
    const QString shown = a.target().startsWith("postgres")
                              ? QUrl(a.target()).toDisplayString(QUrl::RemovePassword)
                              : a.target();
    EXPECT_TRUE(window->statusLabel->text().contains(shown))
        << window->statusLabel->text().toStdString();
    QTest::mouseClick(window->exportButton, Qt::LeftButton);
    QTreeView* tree = corvane::embeddedTree(window->framePanel);
    ASSERT_NE(tree, nullptr) << window->statusLabel->text().toStdString();
    const int inTree = int(corvane::peopleInTree(window->framePanel).size());

    // 导入人员… keeps the selection while its file dialog is open, and after it is cancelled.
    QString cancelled;
    answer.expect([&](QWidget* dialog) {
        cancelled = dialog->metaObject()->className();
        if (auto* box = qobject_cast<QDialog*>(dialog)) box->reject();
    });
    QTest::mouseClick(window->importButton, Qt::LeftButton);
    EXPECT_EQ(cancelled, "QFileDialog");
    EXPECT_EQ(corvane::embeddedTree(window->framePanel), tree) << "导出的勾选被丢掉了";
    EXPECT_TRUE(window->writeButton->isVisible());

    // The frame's menu asks with Qt's Chinese buttons: 是/否. No keeps the node.
    auto* target = window->framePanel->findChild<QTreeView*>("TvDeptPerson");
    auto* menu = window->framePanel->findChild<QMenu*>("TBPopupMenu1");
    ASSERT_TRUE(target && menu);
    const QPoint rootPos = target->visualRect(target->model()->index(0, 0)).center();
    QTest::mouseClick(target->viewport(), Qt::RightButton, {}, rootPos);
    if (!menu->isVisible()) {
        QContextMenuEvent context(QContextMenuEvent::Mouse, rootPos,
                                  target->viewport()->mapToGlobal(rootPos));
        QApplication::sendEvent(target->viewport(), &context);
    }
    ASSERT_TRUE(menu->isVisible());
    QAction* remove = nullptr;
    for (QAction* action : menu->actions())
        if (action->text() == "删除该节点") remove = action;
    ASSERT_NE(remove, nullptr);
    Seen question;
    answer.expect(press("否", &question));
    QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(remove).center());
    EXPECT_EQ(question.buttons, QStringList({"是", "否"})) << question.text.toStdString();
    EXPECT_EQ(target->model()->rowCount(), 1);

    // Nobody ticked: the window says so and asks for no file.
    toggle(tree, tree->model()->index(0, 0));
    Seen nobody;
    answer.expect(press("确定", &nobody));
    QTest::mouseClick(window->writeButton, Qt::LeftButton);
    EXPECT_EQ(nobody.kind, "QMessageBox");
    EXPECT_TRUE(nobody.text.contains("没有勾选任何人员")) << nobody.text.toStdString();

    // Everyone but two people, saved through the file dialog.
    toggle(tree, tree->model()->index(0, 0));
    for (const char* id : {"310101199506060100", "310101198906180222"}) {
        const QModelIndex node = nodeOf(tree, id);
        ASSERT_TRUE(node.isValid()) << id;
        toggle(tree, node);
    }
    const QString package = a.folder() + "人员包 A.zip";
    Seen save;
    answer.expect(typeFile(package, &save));
    QTest::mouseClick(window->writeButton, Qt::LeftButton);
    ASSERT_TRUE(QFile::exists(package)) << window->statusLabel->text().toStdString();
    EXPECT_EQ(save.kind, "QFileDialog");
    EXPECT_TRUE(save.buttons.contains("保存")) << save.buttons.join(' ').toStdString();
    EXPECT_EQ(corvane::embeddedTree(window->framePanel), nullptr);  // the frame is freed
    const auto [people, departments] = packageRows(package);
    EXPECT_EQ(people, inTree - 2);
    EXPECT_EQ(window->packageFileLabel->text(), package);
    EXPECT_EQ(window->exportCountsLabel->text(),
              QString("%1 人，%2 个部门").arg(people).arg(departments));
    QTest::mouseClick(window->openFolderButton, Qt::LeftButton);
    EXPECT_EQ(desktop.opened, QList<QUrl>({QUrl::fromLocalFile(a.folder().chopped(1))}));
    screenshot(*window, "main-export.png");
    // Without a file manager the window says where the folder is.
    QDesktopServices::unsetUrlHandler("file");
    Seen noFileManager;
    answer.expect(press("确定", &noFileManager));
    QTest::mouseClick(window->openFolderButton, Qt::LeftButton);
    EXPECT_TRUE(noFileManager.text.contains("文件管理器") &&
                noFileManager.text.contains(a.folder().chopped(1)))
        << noFileManager.text.toStdString();
    QDesktopServices::setUrlHandler("file", &desktop, "open");

    // Import into B, one person unticked in the preview.
    typeInto(window->databaseEdit, b.target());
    QTest::mouseClick(window->openButton, Qt::LeftButton);
    ASSERT_TRUE(window->importButton->isEnabled()) << window->statusLabel->text().toStdString();
    Seen open;
    answer.expect(typeFile(package, &open));
    QTest::mouseClick(window->importButton, Qt::LeftButton);
    EXPECT_TRUE(open.buttons.contains("打开")) << open.buttons.join(' ').toStdString();
    tree = corvane::embeddedTree(window->framePanel);
    ASSERT_NE(tree, nullptr) << window->statusLabel->text().toStdString();
    // At 800x600 the frame's fields keep clear of each other (the frame scrolls instead).
    screenshot(*window, "main-preview.png");
    window->resize(800, 600);
    QApplication::processEvents();
    screenshot(*window, "main-preview-800x600.png");
    const QList<QWidget*> fields = window->framePanel->findChildren<QWidget*>();
    for (QWidget* one : fields)
        for (QWidget* other : fields) {
            if (one == other || !one->isVisible() || !other->isVisible() ||
                !(qobject_cast<QLineEdit*>(one) || qobject_cast<QLabel*>(one)) ||
                !(qobject_cast<QLineEdit*>(other) || qobject_cast<QLabel*>(other)))
                continue;
            const QRect a(one->mapTo(window->framePanel, QPoint()), one->size());
            const QRect b(other->mapTo(window->framePanel, QPoint()), other->size());
            EXPECT_FALSE(a.intersects(b))
                << "框架中的字段互相重叠: " << one->objectName().toStdString() << " "
                << other->objectName().toStdString();
        }
    window->resize(defaultSize);
    const QString unticked = "310101199001010044";
    toggle(tree, nodeOf(tree, unticked));
    const QStringList before = b.rows("SELECT PerUUID FROM CV_PersonInfo");
    // The dry run first: the planned report in the pane, nothing stored, nothing logged.
    const int logLines = window->logList->count();
    ASSERT_TRUE(window->planButton->isVisible());
    QTest::mouseClick(window->planButton, Qt::LeftButton);
    ASSERT_NE(window->report(), nullptr) << window->reportSummaryLabel->text().toStdString();
    const cvhost::ImportReport plan = *window->report();
    EXPECT_TRUE(plan.planned);
    EXPECT_TRUE(window->reportSummaryLabel->text().contains("导入预计: 新增 "));
    EXPECT_EQ(b.rows("SELECT PerUUID FROM CV_PersonInfo"), before);
    ASSERT_EQ(window->logList->count(), logLines + 1);  // the window's own status line only
    EXPECT_TRUE(window->logList->item(logLines)->text().contains("预演完成"));
    QTest::mouseClick(window->runImportButton, Qt::LeftButton);
    EXPECT_EQ(window->statusLabel->text(), "导入完成");
    const cvhost::ImportReport* report = window->report();
    ASSERT_NE(report, nullptr) << window->reportSummaryLabel->text().toStdString();
    screenshot(*window, "main-import.png");
    window->resize(800, 600);
    screenshot(*window, "main-import-800x600.png");
    window->resize(defaultSize);

    // The report against the store: every row's outcome is what the store shows.
    using cvhost::Outcome;
    EXPECT_EQ(report->rows.size(), people);
    EXPECT_EQ(report->count(Outcome::Inserted) + report->count(Outcome::Renamed),
              b.count("SELECT count(*) FROM CV_PersonInfo") - before.size());
    EXPECT_EQ(report->count(Outcome::Renamed), 1);
    EXPECT_EQ(report->count(Outcome::Present), 1);
    EXPECT_EQ(report->count(Outcome::NotStored), 1);
    EXPECT_GE(report->count(Outcome::NotTicked), 1);
    // The plan foresaw every outcome but the store's refusal of one person.
    EXPECT_EQ(plan.count(Outcome::Inserted), report->count(Outcome::Inserted) + 1);
    for (Outcome same : {Outcome::Renamed, Outcome::Present, Outcome::NotTicked})
        EXPECT_EQ(plan.count(same), report->count(same));
    const QStringList logged = [&] {
        QStringList lines;
        for (int i = 0; i < window->logList->count(); ++i)
            lines << window->logList->item(i)->text();
        return lines;
    }();
    for (const cvhost::ReportRow& row : report->rows) {
        SCOPED_TRACE(row.perUUID.toStdString() + " " +
                     cvhost::outcomeName(row.outcome).toStdString());
        const QStringList stored = b.rows(
            "SELECT LoginName, PerDept FROM CV_PersonInfo WHERE PerUUID = '" + row.perUUID + "'");
        switch (row.outcome) {
            case Outcome::Inserted:
            case Outcome::Renamed:
                EXPECT_FALSE(before.contains(row.perUUID));
                ASSERT_EQ(stored.size(), 1);
                EXPECT_EQ(stored[0].section('|', 0, 0), row.loginName);
                // A person without a department: PerDept empty or null.
                EXPECT_EQ(stored[0].section('|', 1).replace("<null>", ""), row.deptCode);
                break;
            case Outcome::Present:
                EXPECT_TRUE(before.contains(row.perUUID));
                break;
            case Outcome::NotTicked:
                EXPECT_TRUE(row.perUUID == unticked || !row.reason.isEmpty());
                EXPECT_TRUE(stored.isEmpty());
                break;
            case Outcome::NotStored: {
                EXPECT_EQ(row.perName, "孙丽");
                EXPECT_TRUE(stored.isEmpty());
                // The reason the import logged (a line holds it escaped).
                const QStringList line =
                    logged.filter("人员未导入: 孙丽 (PerUUID " + row.perUUID + "): ");
                ASSERT_EQ(line.size(), 1);
                // The store refused what the plan shown in the preview said it would
                // store: the report says so after the reason.
                const QString foreseen = "; 与预演不同, 预演时预计: 新增, 登录名 ";
                EXPECT_TRUE(row.reason.contains(foreseen)) << row.reason.toStdString();
                EXPECT_EQ(cv::logSafeText(row.reason.section(foreseen, 0, 0)),
                          line[0].section("): ", 1));
                break;
            }
        }
    }

    // The filter shows one outcome.
    window->reportFilter->setFocus();
    QTest::keyClick(window->reportFilter, Qt::Key_End);  // the last outcome: not stored
    ASSERT_EQ(window->reportFilter->currentData().toString(), "not stored");
    ASSERT_EQ(window->reportView->model()->rowCount(), 1);
    EXPECT_EQ(window->reportView->model()->index(0, 1).data().toString(), "孙丽");

    // 保存报告… writes what `corvane import --report` writes for the same package, ticks and
    // installation.
    const QString guiCsv = b.folder() + "报告.csv";
    Seen saveReport;
    answer.expect(typeFile(guiCsv, &saveReport));
    QTest::mouseClick(window->saveReportButton, Qt::LeftButton);
    const QString ini = cli.folder() + "host.ini";
    {
        QSettings settings(ini, QSettings::IniFormat);
        settings.setValue("host/db", cli.target());
        settings.setValue("host/style", "local");
        settings.setValue("host/packageDir", cli.folder() + "cli-package/");
        settings.setValue("host/tempDir", cli.folder() + "cli-temp/");
        settings.setValue("host/logFile", cli.folder() + "cli.log");
        settings.setValue("host/packageVersion", "1");
    }
    const QString cliCsv = cli.folder() + "cli.csv";
    QProcess corvane;
    corvane.setProcessChannelMode(QProcess::MergedChannels);
    // `corvane import --dry-run` writes the window's planned report, and stores nothing: the
    // import after it reports what the window's import did.
    const QString planCsv = cli.folder() + "plan.csv";
    corvane.start(CV_CORVANE, {"import", "--settings", ini, "--package", package, "--untick",
                               unticked, "--dry-run", "--report", planCsv});
    ASSERT_TRUE(corvane.waitForFinished(120000));
    {
        const QString printed = QString::fromUtf8(corvane.readAll());
        EXPECT_EQ(corvane.exitCode(), 0) << printed.toStdString();
        EXPECT_TRUE(printed.contains("\nplan: 导入预计: 新增 ")) << printed.toStdString();
        EXPECT_FALSE(printed.contains("CVPackage_Import:")) << printed.toStdString();
        QFile planFile(planCsv);
        ASSERT_TRUE(planFile.open(QIODevice::ReadOnly)) << printed.toStdString();
        EXPECT_EQ(QString::fromUtf8(planFile.readAll()).split("\r\n"),
                  QString::fromUtf8(cvhost::reportCsv(plan)).split("\r\n"));
    }
    corvane.start(CV_CORVANE, {"import", "--settings", ini, "--package", package, "--untick",
                               unticked, "--report", cliCsv});
    ASSERT_TRUE(corvane.waitForFinished(120000));
    const QString printed = QString::fromUtf8(corvane.readAll());
    EXPECT_EQ(corvane.exitCode(), 0) << printed.toStdString();
    EXPECT_TRUE(printed.contains("report: " + cliCsv)) << printed.toStdString();
    EXPECT_TRUE(printed.contains("\nsummary: 人员导入结束: 新增 ")) << printed.toStdString();
    QFile guiFile(guiCsv);
    QFile cliFile(cliCsv);
    ASSERT_TRUE(guiFile.open(QIODevice::ReadOnly)) << window->statusLabel->text().toStdString();
    ASSERT_TRUE(cliFile.open(QIODevice::ReadOnly)) << printed.toStdString();
    EXPECT_EQ(QString::fromUtf8(guiFile.readAll()).split("\r\n"),
              QString::fromUtf8(cliFile.readAll()).split("\r\n"));

    // A new report starts at its top: scrolled down, then the package imported again.
    window->reportFilter->setCurrentIndex(0);
    const int storedBefore = window->report()->count(Outcome::Inserted) +
                             window->report()->count(Outcome::Renamed) +
                             window->report()->count(Outcome::Present);
    window->reportView->scrollToBottom();
    ASSERT_GT(window->reportView->verticalScrollBar()->value(), 0);
    window->nextPackageToRead = package;
    QTest::mouseClick(window->importButton, Qt::LeftButton);
    QTest::mouseClick(window->runImportButton, Qt::LeftButton);
    ASSERT_NE(window->report(), nullptr);
    EXPECT_EQ(window->report()->count(Outcome::Present), storedBefore);
    EXPECT_EQ(window->reportView->verticalScrollBar()->value(), 0) << "新的报告没有从头显示";

    EXPECT_EQ(answer.pending(), 0);
    EXPECT_TRUE(answer.unexpected.isEmpty()) << answer.unexpected.join(' ').toStdString();

    // The next start shows the database last opened, from the user's settings in their place.
    window->close();
    window.reset();
    cvhost::Settings::instance().set("db", {});
    EXPECT_TRUE(QFile::exists(home.path() + "/corvane/corvane.ini"));
    corvane::MainWindow next(plugin);
    EXPECT_EQ(next.databaseEdit->text(), b.target());
    QDesktopServices::unsetUrlHandler("file");
}

}  // namespace

#include "MainWindowTest.moc"
