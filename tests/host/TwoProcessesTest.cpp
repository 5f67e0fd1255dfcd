// Two corvane processes of one user at the same time, as real processes: each works in
// folders of its own (two exports with the default settings each pack their own people; a
// process killed mid-export leaves a folder that the next one removes), and each hears only
// its own plug-in (two imports sharing one log file each print and report their own lines).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <vector>

#include "TestDatabase.h"

namespace {

// A user's home of its own: corvane finds its folders from HOME and the XDG variables.
QProcessEnvironment userEnvironment(const QString& home) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"XDG_CACHE_HOME", "XDG_STATE_HOME", "XDG_RUNTIME_DIR"})
        environment.remove(name);
    environment.insert("HOME", home);
    environment.insert("XDG_CONFIG_HOME", home + "/.config");
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    return environment;
}

std::unique_ptr<QProcess> start(const QString& home, const QStringList& arguments) {
    auto process = std::make_unique<QProcess>();
    process->setProcessEnvironment(userEnvironment(home));
    process->setProcessChannelMode(QProcess::MergedChannels);
    process->start(CV_CORVANE, arguments);
    return process;
}

// Runs corvane to its end; what it printed, with its exit status on the last line.
QString finish(QProcess& process) {
    if (!process.waitForFinished(300000)) return "corvane 没有运行完: " + process.errorString();
    return QString::fromUtf8(process.readAll()) +
           QString("\nexit %1")
               .arg(process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1);
}

// The sqlite3 shell runs `sql` on `store`; its output.
QString shell(const QString& store, const QString& sql) {
    QProcess sqlite;
    sqlite.setProcessChannelMode(QProcess::MergedChannels);
    sqlite.start("sqlite3", {store, sql});
    sqlite.waitForFinished(120000);
    return QString::fromUtf8(sqlite.readAll()).trimmed();
}

// An installation made by corvane, filled by the shell with `count` people in one department:
// PerUUID <id>1.., PerName <name>1.., LoginName <login>1...
QString installation(const QString& home, const QString& file, const QString& id,
                     const QString& name, const QString& login, int count) {
    auto init = start(home, {"init", "--db", file});
    const QString printed = finish(*init);
    if (!printed.endsWith("exit 0")) return printed;
    return shell(file, QString("INSERT INTO CV_DeptInfo VALUES('0001', '部门', '');"
                               "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
                               "WHERE i < %1) INSERT INTO CV_PersonInfo(PerUUID, PerName, "
                               "PerSex, LoginName, UPassword, PerDept, PrjID) SELECT '%2' || i, "
                               "'%3' || i, '男', '%4' || i, 'pw', '0001', 0 FROM n;")
                           .arg(count)
                           .arg(id, name, login));
}

// The PerUUIDs of a package's person file, read by Python's zipfile.
QStringList packedIds(const QString& zip) {
    QProcess python;
    python.start("python3", {"-c",
                             "import re, sys, zipfile\n"
                             "z = zipfile.ZipFile(sys.argv[1])\n"
                             "f = [i for i in z.infolist() if i.filename.lower() == "
                             "'perinfo.per'][0]\n"
                             "for m in re.finditer(rb' PerUUID=\"([^\"]*)\"', z.read(f)):\n"
                             "    print(m.group(1).decode())\n",
                             zip});
    python.waitForFinished(60000);
    return QString::fromUtf8(python.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
}

// The run folders left under the user's cache folder.
QStringList runFolders(const QString& home) {
    return QDir(home + "/.cache/corvane").entryList({"run-*", "new-*"}, QDir::Dirs);
}

TEST(TwoProcesses, ExportsWithTheDefaultFoldersEachPackTheirOwnPeople) {
    if (!testdb::serverUrl().isEmpty()) GTEST_SKIP() << "两个 SQLite 安装即可, 与服务器无关";
    QTemporaryDir dir;
    const QString home = dir.filePath("home");
    const QString big = dir.filePath("big.sqlite");
    const QString small = dir.filePath("small.sqlite");
    ASSERT_EQ(installation(home, big, "B-", "大", "big", 20000), "");
    ASSERT_EQ(installation(home, small, "S-", "小", "small", 32), "");

    // Small exports one after the other while the big one runs, all with the defaults.
    auto bigExport = start(home, {"export", "--db", big, "--package", dir.filePath("big.zip")});
    std::vector<QString> smallPrinted;
    for (int i = 0; i < 4; ++i) {
        auto smallExport = start(home, {"export", "--db", small, "--package",
                                        dir.filePath(QString("small-%1.zip").arg(i))});
        smallPrinted.push_back(finish(*smallExport));
    }
    const QString bigPrinted = finish(*bigExport);
    ASSERT_TRUE(bigPrinted.endsWith("exit 0")) << bigPrinted.toStdString();
    // Each wrote into a package directory of its own.
    auto packageDirectory = [](const QString& printed) {
        return QRegularExpression("\\(written to (.*)\\)").match(printed).captured(1);
    };
    QStringList directories = {packageDirectory(bigPrinted)};
    for (const QString& printed : smallPrinted) directories << packageDirectory(printed);
    EXPECT_EQ(QSet<QString>(directories.begin(), directories.end()).size(), 5)
        << "几个进程用了同一个人员包目录: " << directories.join(' ').toStdString();
    const QStringList bigIds = packedIds(dir.filePath("big.zip"));
    EXPECT_EQ(bigIds.size(), 20000) << "大的导出打包了别的进程的人员";
    EXPECT_TRUE(bigIds.filter(QRegularExpression("^B-")).size() == bigIds.size())
        << "大的导出包中有别的安装的人员";
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(smallPrinted[i].endsWith("exit 0")) << smallPrinted[i].toStdString();
        const QStringList ids = packedIds(dir.filePath(QString("small-%1.zip").arg(i)));
        EXPECT_EQ(ids.size(), 32) << "小的导出打包了别的进程的人员";
        EXPECT_EQ(ids.filter(QRegularExpression("^S-")).size(), ids.size());
    }

    // Every run folder went with its process; the user's folders are the user's alone.
    EXPECT_EQ(runFolders(home), QStringList()) << "进程结束后留下了工作文件夹";
    struct stat cache;
    ASSERT_EQ(::stat(QFile::encodeName(home + "/.cache/corvane").constData(), &cache), 0);
    EXPECT_EQ(cache.st_mode & 0777, 0700u) << "工作文件夹别的用户也能读";
    EXPECT_TRUE(QFileInfo(home + "/.local/state/corvane").isDir()) << "没有用户自己的日志文件夹";

    // A process killed in the middle of its export leaves its folder; the next one removes it.
    auto killed = start(home, {"export", "--db", big, "--package", dir.filePath("killed.zip")});
    // Killed once its folder is in place (a folder still being made goes after an hour).
    for (int i = 0; i < 400 && runFolders(home).filter(QRegularExpression("^run-")).isEmpty(); ++i)
        QTest::qWait(25);
    ASSERT_EQ(runFolders(home).size(), 1) << "导出进程没有建立自己的工作文件夹";
    ::kill(pid_t(killed->processId()), SIGKILL);
    finish(*killed);
    EXPECT_EQ(runFolders(home).size(), 1);
    auto next = start(home, {"export", "--db", small, "--package", dir.filePath("next.zip")});
    const QString nextPrinted = finish(*next);
    EXPECT_TRUE(nextPrinted.endsWith("exit 0")) << nextPrinted.toStdString();
    EXPECT_EQ(runFolders(home), QStringList()) << "被杀死的进程的工作文件夹没有被清除";
}

TEST(TwoProcesses, ImportsSharingALogEachHearTheirOwnLines) {
    if (!testdb::serverUrl().isEmpty()) GTEST_SKIP() << "两个 SQLite 安装即可, 与服务器无关";
    QTemporaryDir dir;
    const QString home = dir.filePath("home");
    constexpr int People = 3000;
    // Two packages of people whose login names the two target installations hold already
    // (under other PerUUIDs), so that each import logs a rename line per person; and one
    // person in both packages that each target refuses for a reason of its own.
    const struct {
        const char* name;
        const char* login;
    } sides[] = {{"one", "jia"}, {"two", "yi"}};
    QList<QStringList> commands;
    for (const auto& side : sides) {
        const QString source = dir.filePath(QString("%1-source.sqlite").arg(side.name));
        const QString target = dir.filePath(QString("%1-target.sqlite").arg(side.name));
        ASSERT_EQ(installation(home, source, QString(side.login) + "-", "人", side.login, People),
                  "");
        ASSERT_EQ(shell(source,
                        "INSERT INTO CV_PersonInfo(PerUUID, PerName, LoginName, PerDept) "
                        "VALUES('X-1', '共同', 'common', '0001')"),
                  "");
        ASSERT_EQ(installation(home, target, "T-", "原有", side.login, People), "");
        ASSERT_EQ(shell(target, QString("CREATE TRIGGER refuse BEFORE INSERT ON CV_PersonInfo "
                                        "WHEN NEW.PerUUID = 'X-1' BEGIN "
                                        "SELECT RAISE(ABORT, 'refused-by-%1'); END")
                                    .arg(side.name)),
                  "");
        const QString package = dir.filePath(QString("%1.zip").arg(side.name));
        auto exported = start(home, {"export", "--db", source, "--package", package});
        const QString printed = finish(*exported);
        ASSERT_TRUE(printed.endsWith("exit 0")) << printed.toStdString();
        const QString ini = dir.filePath(QString("%1.ini").arg(side.name));
        QSettings settings(ini, QSettings::IniFormat);
        settings.setValue("host/db", target);
        settings.setValue("host/logFile", dir.filePath("shared.log"));
        settings.sync();
        commands.append({"import", "--settings", ini, "--package", package, "--report",
                         dir.filePath(QString("%1.csv").arg(side.name))});
    }
    std::vector<std::unique_ptr<QProcess>> imports;
    for (const QStringList& command : commands) imports.push_back(start(home, command));

    for (std::size_t i = 0; i < imports.size(); ++i) {
        const QString own = sides[i].login;
        const QString other = sides[1 - i].login;
        const QString printed = finish(*imports[i]);
        SCOPED_TRACE(own.toStdString());
        ASSERT_TRUE(printed.endsWith("exit 0")) << printed.right(2000).toStdString();
        const QStringList logged = printed.split('\n').filter(QRegularExpression("^log: "));
        const QStringList renames = logged.filter("要导入的注册名" + own);
        EXPECT_EQ(renames.size(), People);
        EXPECT_EQ(logged.filter("注册名" + other).size(), 0) << "打印了另一个进程的日志行";
        const QStringList refused = logged.filter("人员未导入: 共同");
        ASSERT_EQ(refused.size(), 1) << logged.filter("共同").join('\n').toStdString();
        EXPECT_TRUE(refused[0].contains("refused-by-" + QString(sides[i].name)))
            << refused[0].toStdString();

        QFile csv(dir.filePath(QString("%1.csv").arg(sides[i].name)));
        ASSERT_TRUE(csv.open(QIODevice::ReadOnly));
        const QStringList rows = QString::fromUtf8(csv.readAll()).split("\r\n").filter("X-1,");
        ASSERT_EQ(rows.size(), 1);
        EXPECT_TRUE(rows[0].contains("refused-by-" + QString(sides[i].name)))
            << "报告的原因取自另一个进程的日志行: " << rows[0].toStdString();
    }
    // The shared file holds both processes' lines.
    QFile log(dir.filePath("shared.log"));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QString all = QString::fromUtf8(log.readAll());
    for (const auto& side : sides)
        EXPECT_EQ(all.count(QString("要导入的注册名") + side.login), People);
}

}  // namespace
