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
#include <QLabel>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <memory>

#include "Application.h"
#include "EmbeddedTree.h"
#include "HostSettings.h"
#include "MainWindow.h"
#include "TestHost.h"
#include "WindowDriver.h"

namespace {

using namespace windowdriver;

// Runs a program to its end; its output (both channels), or why it did not run.
QString run(const QString& program, const QStringList& arguments, int* exitCode = nullptr) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(120000)) return program + " 没有运行完: " + process.errorString();
    if (exitCode) *exitCode = process.exitCode();
    return QString::fromUtf8(process.readAll());
}

// Whether this process holds a lock on `path` in the kernel's list.
bool locked(const QString& path) {
    const QString inode = run("stat", {"-c", "%i", path}).trimmed();
    QFile locks("/proc/locks");
    if (inode.isEmpty() || !locks.open(QIODevice::ReadOnly)) return false;
    const QString self = QString::number(::getpid());
    for (const QString& line : QString::fromLatin1(locks.readAll()).split('\n')) {
        const QStringList fields = line.simplified().split(' ');
        if (fields.size() > 5 && fields[1] != "->" && fields[4] == self &&
            fields[5].section(':', 2) == inode)
            return true;
    }
    return false;
}

// A store "b.sqlite" (the second sample installation) and, in the same folder, a package of
// the first sample installation, both made by corvane processes; the host's settings and the
// user's preferences of this process pointed into the folder.
struct SharedStore {
    QTemporaryDir dir;
    QString store = dir.filePath("b.sqlite");
    QString package = dir.filePath("people.zip");
    corvane::Plugin plugin;
    std::unique_ptr<corvane::MainWindow> window;
    ModalAnswerer answer;

    // The sqlite3 shell's answer to `sql` on the store: another program opening and closing it.
    QString shell(const QString& sql) { return run("sqlite3", {store, sql}).trimmed(); }

    void SetUp() {
        testhost::reset();
        const QString ini = dir.filePath("a.ini");
        {
            QSettings settings(ini, QSettings::IniFormat);
            settings.setValue("host/db", dir.filePath("a.sqlite"));
            settings.setValue("host/packageDir", dir.filePath("a-package/"));
            settings.setValue("host/tempDir", dir.filePath("a-temp/"));
            settings.setValue("host/logFile", dir.filePath("a.log"));
        }
        for (const QStringList& arguments :
             {QStringList{"init", "--db", dir.filePath("a.sqlite"), "--sample"},
              QStringList{"init", "--db", store, "--sample", "--second"},
              QStringList{"export", "--settings", ini, "--package", package}}) {
            int code = -1;
            const QString printed = run(CV_CORVANE, arguments, &code);
            ASSERT_EQ(code, 0) << printed.toStdString();
        }
        auto& settings = cvhost::Settings::instance();
        settings.set("packageDir", dir.filePath("b-package/"));
        settings.set("tempDir", dir.filePath("b-temp/"));
        settings.set("logFile", dir.filePath("b.log"));
        settings.set("packageVersion", "1");
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.filePath("home"));
        QSettings(QSettings::IniFormat, QSettings::UserScope, "corvane", "corvane")
            .setValue("packageFolder", dir.path());
        ASSERT_TRUE(corvane::setUpApplication()) << "没有安装 Qt 的中文翻译";
        QString error;
        ASSERT_TRUE(plugin.load(&error)) << error.toStdString();
        window = std::make_unique<corvane::MainWindow>(plugin);
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        typeInto(window->databaseEdit, store);
        QTest::mouseClick(window->openButton, Qt::LeftButton);
        ASSERT_TRUE(window->importButton->isEnabled()) << window->statusLabel->text().toStdString();
        ASSERT_TRUE(locked(store) && locked(store + "-shm")) << "打开数据库后本进程没有持有锁";
    }

    ~SharedStore() {
        if (window) window->close();
        window.reset();
        testhost::reset();
    }

    // Previews the package (its path already answered) and imports everybody; the report.
    const cvhost::ImportReport* importAll() {
        QTest::mouseClick(window->runImportButton, Qt::LeftButton);
        return window->report();
    }
};

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
