// The host shares its SQLite store with other programs. SQLite tells them the store is in use
// by POSIX locks, which a process loses on a file as soon as anything in it closes a
// descriptor of that file. These tests run the host's window in this process and the other
// programs as real processes (the sqlite3 shell): the window shows its file dialog over the
// store's folder, another program opens and closes the store, the window imports, and a third
// program must see every person imported. And when the locks are lost all the same (this
// process opens and closes the store behind the window's back), the window must notice before
// it writes, say so, and import into the store as it is now.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileSystemModel>
#include <QStandardPaths>
#include <QTreeView>
#include <memory>

#include "EmbeddedTree.h"
#include "WindowOnStore.h"

namespace {

using namespace windowdriver;

// strace attached to this very process, recording every file it opens until stop().
class OpenTrace {
public:
    explicit OpenTrace(const QString& log) {
        strace_.start("strace", {"-f", "-e", "trace=open,openat,openat2,creat", "-o", log, "-p",
                                 QString::number(::getpid())});
        // strace says on its error channel when it has attached.
        while (strace_.waitForReadyRead(10000) || strace_.state() == QProcess::Running) {
            said_ += QString::fromUtf8(strace_.readAllStandardError());
            if (said_.contains("attached")) return;
            if (strace_.state() != QProcess::Running) break;
        }
    }
    bool attached() const { return said_.contains("attached"); }
    QString said() const { return said_; }
    void stop() {
        strace_.terminate();  // strace detaches and writes the rest of the log
        strace_.waitForFinished(10000);
    }

private:
    QProcess strace_;
    QString said_;
};

TEST(StoreLocks, TheFileDialogOverTheStoreFolderLeavesTheStoreToTheEngine) {
    if (!testdb::serverUrl().isEmpty()) GTEST_SKIP() << "SQLite 文件的锁, 服务器上没有";
    if (QStandardPaths::findExecutable("strace").isEmpty()) GTEST_SKIP() << "没有 strace";
    SharedStore shared;
    ASSERT_NO_FATAL_FAILURE(shared.SetUp());
    // Started from the store's folder: a dialog looks at the working folder before it is
    // pointed anywhere.
    const QString started = QDir::currentPath();
    QDir::setCurrent(shared.dir.path());
    const QString trace = shared.dir.filePath("open.trace");
    auto strace = std::make_unique<OpenTrace>(trace);
    ASSERT_TRUE(strace->attached()) << "strace 无法跟踪本进程: " << strace->said().toStdString();

    // The dialog lists the store's folder with every file shown, each with its type and icon,
    // before the package is chosen.
    QStringList listed;
    Seen open;
    shared.answer.expect([&](QWidget* widget) {
        auto* dialog = qobject_cast<QFileDialog*>(widget);
        auto* model = widget->findChild<QFileSystemModel*>();
        if (dialog && model) {
            dialog->selectNameFilter(dialog->nameFilters().last());  // 所有文件 (*)
            const QModelIndex folder = model->index(shared.dir.path());
            for (int i = 0; i < 100 && !listed.contains("b.sqlite-shm"); ++i) {
                QTest::qWait(50);
                listed.clear();
                for (int row = 0; row < model->rowCount(folder); ++row)
                    listed << model->index(row, 0, folder).data().toString();
            }
            for (int row = 0; row < model->rowCount(folder); ++row)
                for (int column = 0; column < model->columnCount(folder); ++column) {
                    model->index(row, column, folder).data(Qt::DisplayRole);
                    model->index(row, column, folder).data(Qt::DecorationRole);
                }
            QTest::qWait(1000);  // the dialog's own thread looks the files up meanwhile
        }
        strace->stop();
        typeFile(shared.package, &open)(widget);
    });
    QTest::mouseClick(shared.window->importButton, Qt::LeftButton);
    QDir::setCurrent(started);
    ASSERT_EQ(open.kind, "QFileDialog");
    EXPECT_TRUE(listed.contains("b.sqlite") && listed.contains("b.sqlite-wal"))
        << "对话框没有列出数据库的文件: " << listed.join(' ').toStdString();
    ASSERT_NE(corvane::embeddedTree(shared.window->framePanel), nullptr)
        << shared.window->statusLabel->text().toStdString();

    QFile log(trace);
    ASSERT_TRUE(log.open(QIODevice::ReadOnly)) << "没有 strace 的记录";
    const QStringList opened = QString::fromUtf8(log.readAll()).split('\n').filter("b.sqlite");
    EXPECT_TRUE(opened.isEmpty()) << "文件对话框打开了数据库的文件:\n"
                                  << opened.join('\n').toStdString();
    EXPECT_TRUE(locked(shared.store)) << "对话框关闭后本进程不再持有数据库文件的锁";
    EXPECT_TRUE(locked(shared.store + "-shm")) << "对话框关闭后本进程不再持有 -shm 的锁";

    // Another program opens and closes the store while the window holds it: it must leave the
    // log in place, and a third sees everybody the window imported.
    const int before = shared.shell("SELECT count(*) FROM CV_PersonInfo").toInt();
    EXPECT_TRUE(QFile::exists(shared.store + "-wal")) << "别的程序关闭数据库时删除了日志文件";
    const cvhost::ImportReport* report = shared.importAll();
    ASSERT_NE(report, nullptr) << shared.window->statusLabel->text().toStdString();
    const int stored =
        report->count(cvhost::Outcome::Inserted) + report->count(cvhost::Outcome::Renamed);
    ASSERT_GT(stored, 0);
    shared.window.reset();
    EXPECT_EQ(shared.shell("SELECT count(*) FROM CV_PersonInfo").toInt(), before + stored)
        << "报告为导入的人员没有全部留在数据库中";
    EXPECT_TRUE(shared.answer.unexpected.isEmpty())
        << shared.answer.unexpected.join(' ').toStdString();
}

TEST(StoreLocks, LostLocksAreNoticedBeforeTheImportWrites) {
    if (!testdb::serverUrl().isEmpty()) GTEST_SKIP() << "SQLite 文件的锁, 服务器上没有";
    SharedStore shared;
    ASSERT_NO_FATAL_FAILURE(shared.SetUp());
    shared.window->nextPackageToRead = shared.package;
    QTest::mouseClick(shared.window->importButton, Qt::LeftButton);
    ASSERT_NE(corvane::embeddedTree(shared.window->framePanel), nullptr);

    // Something in this process opens and closes the store's files, as Qt's file dialog did:
    // the locks go, and the next program to close the store deletes its log.
    for (const QString& file : {shared.store, shared.store + "-shm"})
        ::close(::open(QFile::encodeName(file).constData(), O_RDONLY | O_CLOEXEC));
    ASSERT_FALSE(locked(shared.store)) << "注入的故障没有让本进程失去锁";
    const int before = shared.shell("SELECT count(*) FROM CV_PersonInfo").toInt();
    ASSERT_FALSE(QFile::exists(shared.store + "-wal")) << "注入的故障没有让别的程序删除日志";

    Seen warned;
    shared.answer.expect(press("确定", &warned));
    QTest::mouseClick(shared.window->runImportButton, Qt::LeftButton);
    EXPECT_TRUE(warned.text.contains("锁已丢失")) << warned.text.toStdString();
    EXPECT_TRUE(warned.text.contains("已重新打开")) << warned.text.toStdString();
    EXPECT_EQ(shared.shell("SELECT count(*) FROM CV_PersonInfo").toInt(), before)
        << "锁丢失后仍然导入了";
    EXPECT_EQ(corvane::embeddedTree(shared.window->framePanel), nullptr);
    EXPECT_TRUE(locked(shared.store) && locked(shared.store + "-shm")) << "重新打开后仍没有锁";

    // Imported again, into the store as it is now: a third program sees everybody.
    shared.window->nextPackageToRead = shared.package;
    QTest::mouseClick(shared.window->importButton, Qt::LeftButton);
    const cvhost::ImportReport* report = shared.importAll();
    ASSERT_NE(report, nullptr) << shared.window->statusLabel->text().toStdString();
    const int stored =
        report->count(cvhost::Outcome::Inserted) + report->count(cvhost::Outcome::Renamed);
    ASSERT_GT(stored, 0);
    shared.shell("SELECT count(*) FROM CV_PersonInfo");  // another program opens and closes it
    shared.window.reset();
    EXPECT_EQ(shared.shell("SELECT count(*) FROM CV_PersonInfo").toInt(), before + stored);
    EXPECT_EQ(shared.answer.pending(), 0);
    EXPECT_TRUE(shared.answer.unexpected.isEmpty())
        << shared.answer.unexpected.join(' ').toStdString();
}

}  // namespace
