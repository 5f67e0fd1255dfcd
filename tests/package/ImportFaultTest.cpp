// The store stops taking writes in the middle of an import: a server that goes away, a disk
// that fills. The windows committed before stay, whole; every other ticked person is named
// not stored with the reason; the store stays sound; and once the store is back, the same
// import run again completes it.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include "Database.h"
#include "HostSettings.h"
#include "ImportPreviewPlan.h"
#include "Installation.h"
#include "PackageTest.h"
#include "PrivateServer.h"
#include "SmallDisk.h"
#include "TDM_PersonPack.h"
#include "WindowedImport.h"

namespace cv::test {
namespace {

constexpr int Window = 2;

class ImportFaultTest : public PackageTest {
public:
    // Without a plan at the preview the import reads the package itself, a part of 16
    // windows at a time: a fault in one part ends the parts after it too.
    void SetUp() override {
        WindowedImport::setDefaultWindow(Window);
        ImportPreviewPlan::setAutoPlanLimit(0);
    }
    void TearDown() override {
        ImportPreviewPlan::setAutoPlanLimit(planLimit_);
        WindowedImport::setDefaultWindow(WindowedImport::DefaultWindow);
        PackageTest::TearDown();
    }

    // `count` people in two departments, odd ones in 总部, even ones in 总部_研发.
    void writeFaultPackage(int count) {
        QList<QStringList> people;
        for (int i = 1; i <= count; ++i) {
            const QString n = QString::number(i);
            people << QStringList{
                "p" + n,    "人" + n, "男", "login" + n, i % 2 ? "0001" : "00010002",
                "备注" + n, "pw"};
        }
        writePackage(packageDir(), people, {{"0001", "总部"}, {"00010002", "总部_研发"}});
    }
    QString packageDir() const { return packages_.path() + "/"; }

    QStringList logLines() {
        QFile log(inst().logFile());
        if (!log.open(QIODevice::ReadOnly)) return {};
        QStringList lines;
        for (const QString& line : QString::fromUtf8(log.readAll()).split('\n'))
            if (!line.isEmpty()) lines << line.section('\t', 6);
        return lines;
    }

    // After a fault: -1, the committed windows' people whole in their departments, a line
    // for the stop and one for every other person; then the same import again completes it.
    void expectStoppedThenCompleted(Connection& store, int stored, int count) {
        Query depts(&store);
        depts.setCommandText("SELECT count(*) AS n FROM CV_DeptInfo");
        depts.open();
        const QStringList log = logLines();
        EXPECT_EQ(log.filter("人员导入中止: ").size(), 1) << log.join('\n').toStdString();
        EXPECT_EQ(log.filter("人员未导入: ").size(), count - stored);
        EXPECT_EQ(log.filter("人员导入结束: ").value(0),
                  QString("人员导入结束: 新增 %1 人, 改名后新增 0 人, 已存在 0 人, 未导入 %2 人, "
                          "新建部门 %3 个")
                      .arg(stored)
                      .arg(count - stored)
                      .arg(depts.fieldText("n")));
        expectWhole(store, stored);

        ASSERT_TRUE(TDM_PersonPack::PrepareStore());
        ASSERT_EQ(PackageFree(), 1);
        ASSERT_EQ(PackageImportProc(packageDir(), &hostWindow), 1);
        EXPECT_EQ(PackageImport(packageDir()), 1) << logLines().join('\n').toStdString();
        expectWhole(store, count);
    }

    void expectWhole(Connection& store, int stored) {
        Query query(&store);
        query.setCommandText(
            "SELECT PerUUID, PerName, PerMemo, LoginName, PerDept FROM "
            "CV_PersonInfo");
        query.open();
        EXPECT_EQ(query.data().rows.size(), stored);
        int evens = 0;
        for (const Row& row : query.data().rows) {
            const QString n = row[0].toString().mid(1);
            evens += n.toInt() % 2 == 0;
            EXPECT_EQ(QStringList({row[1].toString(), row[2].toString(), row[3].toString(),
                                   row[4].toString()}),
                      QStringList({"人" + n, "备注" + n, "login" + n,
                                   n.toInt() % 2 ? "0001" : "00010001"}));
        }
        const bool anyone = !query.data().rows.isEmpty();
        query.setCommandText("SELECT DeptID, DeptName FROM CV_DeptInfo ORDER BY DeptID");
        query.open();
        QStringList depts;
        for (const Row& row : query.data().rows)
            depts << row[0].toString() + "|" + row[1].toString();
        QStringList expected;
        if (anyone) expected << "0001|总部";
        if (evens > 0) expected << "00010001|研发";
        EXPECT_EQ(depts, expected);
    }

    QTemporaryDir packages_;
    const qsizetype planLimit_ = ImportPreviewPlan::autoPlanLimit();
};
CV_BOTH_STYLES(ImportFaultTest);

TEST_P(ImportFaultTest, AServerThatStopsMidWindowKeepsTheCommittedWindowsAndARerunCompletes) {
    if (!testdb::onPostgres()) GTEST_SKIP() << "runs with the suites on PostgreSQL";
    testhost::PrivateServer server;
    ASSERT_FALSE(server.url().isEmpty());
    constexpr int Count = 8;
    writeFaultPackage(Count);

    // The server stops while the sixth person is being stored: the windows of two before
    // it are committed, the window of the fifth and sixth is not.
    testhost::Installation& store = install(Content::Empty, server.url());
    setPackageVersion(3);
    ASSERT_EQ(PackageImportProc(packageDir(), &hostWindow), 1);
    store.exec(
        "CREATE FUNCTION hold() RETURNS trigger LANGUAGE plpgsql AS $$BEGIN "
        "IF (SELECT count(*) FROM CV_PersonInfo) >= 5 THEN PERFORM pg_sleep(60); "
        "END IF; RETURN NEW; END$$");
    store.exec(
        "CREATE TRIGGER hold BEFORE INSERT ON CV_PersonInfo FOR EACH ROW EXECUTE "
        "FUNCTION hold()");
    QProcess watcher;
    server.crashWhenASessionSleeps(watcher);
    EXPECT_EQ(PackageImport(packageDir()), -1);
    ASSERT_TRUE(watcher.waitForFinished(60000));
    EXPECT_EQ(watcher.exitCode(), 0) << "the server was not crashed during the import";
    EXPECT_FALSE(TDM_PersonPack::PrepareStore());

    ASSERT_TRUE(server.restart());
    auto check = Connection::open(store.target());
    Command drop(check.get());
    drop.setCommandText("DROP TRIGGER hold ON CV_PersonInfo");
    drop.execute();
    expectStoppedThenCompleted(*check, 4, Count);
}

TEST_P(ImportFaultTest, ADiskThatFillsKeepsTheCommittedWindowsSoundAndARerunCompletes) {
    if (testdb::onPostgres()) GTEST_SKIP() << "runs on an SQLite store";
    constexpr int Count = 400;
    writeFaultPackage(Count);
    install(Content::Empty);
    const QString folder = inst().folder() + "disk";
    testhost::SmallDisk disk(folder, 160 * 1024);
    if (!disk.mounted()) GTEST_SKIP() << disk.why().toStdString();
    const QString file = folder + "/store.sqlite";
    auto store = cvhost::openStore(file);
    cvhost::createSchema(*store);
    cvhost::Settings::instance().set("db", file);
    setPackageVersion(3);

    ASSERT_EQ(PackageImportProc(packageDir(), &hostWindow), 1);
    EXPECT_EQ(PackageImport(packageDir()), -1);
    const QStringList log = logLines();
    EXPECT_EQ(log.filter("人员导入中止: 数据库所在的磁盘已满").size(), 1)
        << log.join('\n').toStdString();
    Query query(store.get());
    query.setCommandText("PRAGMA integrity_check");
    query.open();
    EXPECT_EQ(query.fieldText("integrity_check"), "ok");
    query.setCommandText("SELECT count(*) FROM CV_PersonInfo");
    query.open();
    const int stored = query.fieldText("count(*)").toInt();
    EXPECT_GT(stored, 0);
    EXPECT_LT(stored, Count);
    EXPECT_EQ(stored % Window, 0) << "only whole windows are committed";

    ASSERT_TRUE(disk.grow(64 << 20));
    expectStoppedThenCompleted(*store, stored, Count);
}

}  // namespace
}  // namespace cv::test
