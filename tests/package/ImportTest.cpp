#include <QApplication>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <functional>

#include "Database.h"
#include "GetTickedPersons.h"
#include "ImportAccount.h"
#include "ImportPreviewPlan.h"
#include "ImportSelection.h"
#include "PackageTest.h"
#include "TCVPerson.h"
#include "TFramePerson.h"

namespace cv::test {
namespace {

class ImportTest : public PackageTest {
public:
    // A package directory outside every installation, ending with the separator.
    QString packageDir() const { return packages_.path() + "/pkg/"; }

    // Exports sample A with the given nodes unticked into packageDir().
    void exportSampleA(const QList<std::pair<QString, QString>>& untick) {
        install(Content::SampleA);
        ASSERT_EQ(PackageExportProc(&hostWindow), 1);
        for (const auto& [id, kind] : untick) tree().toggle(findNode(tree(), id, kind));
        const QString written = PackageExport();
        ASSERT_EQ(written, inst().packageDir() + "PerInfo/");
        QDir().mkpath(packageDir());
        for (const QString& name : QDir(written).entryList(QDir::Files))
            ASSERT_TRUE(QFile::copy(written + name, packageDir() + name));
        PackageFree();
    }
    // Opens the import preview of packageDir() in a fresh installation.
    void preview(Content content) {
        install(content);
        setPackageVersion(3);
        TCVPerson::ResetLoginNameGenerator();
        ASSERT_EQ(PackageImportProc(packageDir(), &hostWindow), 1);
    }
    QStringList packageFiles() const { return QDir(packageDir()).entryList(QDir::Files); }
    // The department path of a code of this installation.
    QString pathOf(const QString& code) {
        QStringList names;
        for (qsizetype k = 4; k <= code.size(); k += 4)
            names << inst().scalar("SELECT DeptName FROM CV_DeptInfo WHERE DeptID = " +
                                   sqlQuote(code.left(k)));
        return names.join('_');
    }
    QString person(const QString& id) {
        const QStringList found = rows(
            "SELECT PerUUID, PerName, PerSex, PerMemo, LoginName, UPassword, PerDept, PrjID "
            "FROM CV_PersonInfo WHERE PerUUID = " +
            sqlQuote(id));
        return found.isEmpty() ? "<none>" : found.join('\n');
    }
    QString log() {
        QFile file(inst().logFile());
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    QTemporaryDir packages_;
};
CV_BOTH_STYLES(ImportTest);

TEST(ImportSelectionTest, SplitsTheCommaTextOfAnyIdentifiers) {
    const QList<QStringList> lists = {
        {"A", "B", "C"},
        {"a,b", "c \"d\"", "e'f", "", " lead", "tab\there", "中文", "\"", "x\u0001y"},
        {"", ""},
        {"single"},
    };
    for (const QStringList& ids : lists) EXPECT_EQ(SplitCommaText(CommaText(ids)), ids);
    EXPECT_EQ(SplitCommaText(" a , \"b\"\"\" ,c,"), QStringList({"a", "b\"", "c", ""}));
    EXPECT_EQ(SplitCommaText(QString("a") + QChar(0) + "b"), QStringList({"a", "b"}));
    EXPECT_EQ(SplitCommaText("\"unterminated"), QStringList({"unterminated"}));
    EXPECT_EQ(SplitCommaText(""), QStringList());
}

TEST_P(ImportTest, CarriesTheTickedPeopleIntoAnotherInstallation) {
    exportSampleA({{"00010001", "0"}, {"310101198001010011", "1"}});
    const QStringList exported =
        fileRows(packageDir() + "perinfo.per",
                 {"PerUUID", "PerName", "PerSex", "PerMemo", "LoginName", "UPassWord", "PerDept"});
    QHash<QString, QString> paths;
    for (const QString& row : fileRows(packageDir() + "deptinfo.per", {"DeptID", "DeptName"}))
        paths.insert(row.section('|', 0, 0), row.section('|', 1));

    preview(Content::SampleB);
    const QString untickedInPreview = "310101198805170211";  // 郑刚 of 市场部
    tree().toggle(findNode(tree(), untickedInPreview, "1"));
    const QStringList depts = rows("SELECT * FROM CV_DeptInfo ORDER BY DeptID");
    const int before = inst().count("SELECT count(*) FROM CV_PersonInfo");

    EXPECT_EQ(PackageImport(packageDir()), 1);

    int inserted = 0;
    for (const QString& row : exported) {
        QStringList v = row.split('|');
        const QString id = v[0];
        SCOPED_TRACE(id.toStdString());
        // Shown in the preview: no department, or a department of the package.
        const bool shown = v[6] == "<null>" || paths.contains(v[6]);
        if (id == "310101199203030077") {  // already in B: left as it was
            EXPECT_EQ(person(id),
                      "310101199203030077|赵磊|男|两处都有此人|zhaolei|zhaolei@123|"
                      "00010001|0");
            continue;
        }
        if (!shown || id == untickedInPreview) {
            EXPECT_EQ(person(id), "<none>");
            continue;
        }
        ++inserted;
        for (QString& value : v)
            if (value == "<null>") value.clear();
        if (v[4] == "zhoujie") v[4] = "zhoujie_1000";
        const QString stored = person(id);
        const QString code = stored.section('|', 6, 6);
        EXPECT_EQ(pathOf(code), paths.value(v[6]));
        v[6] = code;
        EXPECT_EQ(stored, v.join('|') + "|0");
    }
    EXPECT_GE(inserted, 20);
    EXPECT_EQ(inst().count("SELECT count(*) FROM CV_PersonInfo"), before + inserted);

    // Every department of the package exists once, B's own ones unchanged.
    for (const QString& path : paths) {
        const QStringList names = path.split('_');
        EXPECT_EQ(inst().count("SELECT count(*) FROM CV_DeptInfo WHERE DeptName = " +
                               sqlQuote(names.last()) +
                               " AND length(DeptID) = " + QString::number(4 * names.size())),
                  1)
            << path.toStdString();
    }
    for (const QString& dept : depts)
        EXPECT_EQ(
            rows("SELECT * FROM CV_DeptInfo WHERE DeptID = " + sqlQuote(dept.section('|', 0, 0))),
            QStringList(dept));

    EXPECT_EQ(log().count('\n'), 2);
    EXPECT_TRUE(log().contains("要导入的注册名zhoujie已经存在,已经被改为zhoujie_1000"));
    EXPECT_TRUE(log().contains(QString("人员导入结束: 新增 %1 人, 改名后新增 1 人, 已存在 1 人, "
                                       "未导入 0 人, 新建部门 ")
                                   .arg(inserted - 1)));
    EXPECT_EQ(packageFiles(), QStringList({"SysPerInfo.XML"}));
    // The files are gone: a second import of the same directory fails.
    EXPECT_EQ(PackageImport(packageDir()), -1);
}

TEST_P(ImportTest, DecidesForEachPersonWhetherAndWhereToInsert) {
    const QString hostile = "a,b \"c\" 'd'";
    QDir().mkpath(packageDir());
    writePackage(packageDir(),
                 {
                     {"nodept", "无部门", "女", "<null>", "<null>", "<null>", "<null>"},
                     {"path", "甲乙", "男", "jiayi", "00070001", "m", "pw"},
                     {"nullpath", "空名", "男", "kongming", "0009", "", ""},
                     {"clash", "重名", "男", "taken", "0007", "<null>", "pw"},
                     {"present", "已在", "男", "present", "0007", "<null>", "<null>"},
                     {hostile, "O'Neil", "男", "o'neil", "0007", "x'y", "p'w"},
                     {"dup", "一", "男", "dup", "0007", "<null>", "<null>"},
                     {"dup", "二", "男", "dup2", "00070001", "<null>", "<null>"},
                 },
                 {
                     {"0007", "甲"},
                     {"00070001", "<null>"},
                     {"00070001", "丙_丁"},
                     {"00070001", "甲_乙"},
                     {"00070001", "<null>"},
                     {"0009", "<null>"},
                     {"", "空码"},
                     {"0010", ""},
                     {"0011", "无人部门"},
                     {"001100120013", "无人部门_下级_再下级"},
                 });
    install(Content::Empty);
    inst().exec(
        "INSERT INTO CV_PersonInfo(PerUUID, PerName, LoginName, PerDept, PrjID) "
        "VALUES('other', 'x', 'taken', '', 0), ('present', '原来', 'p', 'zz', 5)");
    setPackageVersion(3);
    TCVPerson::ResetLoginNameGenerator();
    ASSERT_EQ(PackageImportProc(packageDir(), &hostWindow), 1);

    EXPECT_EQ(PackageImport(packageDir()), 1);
    EXPECT_EQ(person("nodept"), "nodept|无部门|女|||||0");
    EXPECT_EQ(person("path"), "path|甲乙|男|m|jiayi|pw|00010001|0");
    EXPECT_EQ(person("nullpath"), "nullpath|空名|男||kongming|||0");
    EXPECT_EQ(person("clash"), "clash|重名|男||taken_1000|pw|0001|0");
    EXPECT_EQ(person("present"), "present|原来|<null>|<null>|p|<null>|zz|5");
    EXPECT_EQ(person(hostile), hostile + "|O'Neil|男|x'y|o'neil|p'w|0001|0");
    EXPECT_EQ(person("dup"), "dup|一|男||dup||0001|0");
    EXPECT_EQ(rows("SELECT DeptID, DeptName, DeptMemo FROM CV_DeptInfo ORDER BY DeptID"),
              QStringList({"0001|甲|", "00010001|乙|", "0002|丙|", "00020001|丁|", "0003|无人部门|",
                           "00030001|下级|", "000300010001|再下级|"}));
    EXPECT_TRUE(log().contains("要导入的注册名taken已经存在,已经被改为taken_1000"));
}

// Whoever is ticked and not stored is named in the log with the reason, and the summary
// counts them; the others are stored all the same. Where the engine or the working style
// takes the value, the person is stored exactly as given.
TEST_P(ImportTest, AccountsForEveryTickedPersonItDoesNotStore) {
    const QString login51(51, QChar(u'l'));
    const QString dept150(150, QChar(u'部'));
    struct Case {
        const char* what;
        QList<QStringList> firstRow;  // the package's row of "first" (or of a row without PerUUID)
        QList<QStringList> depts;
        std::function<void(ImportTest&)> arrange;  // the store, after the preview
        std::function<bool()> refused;             // where the first person is not stored
        QString reason;                            // in its log line; empty: the log is refused
    };
    const auto always = [] { return true; };
    const auto onPostgres = [] { return testdb::onPostgres(); };
    const Case cases[] = {
        {"a row without PerUUID",
         {{"<null>", "无号", "男", "l1", "<null>", "", ""}},
         {},
         [](ImportTest&) {},
         always,
         "人员未导入: 无号 (PerUUID ): 人员包中此人没有 PerUUID"},
        {"the log refuses the line of a changed login name",
         {{"first", "1", "男", "l1", "<null>", "", ""}},
         {},
         [](ImportTest& t) {
             t.inst().exec("INSERT INTO CV_PersonInfo(PerUUID, LoginName) VALUES('x', 'l1')");
             cvhost::Settings::instance().set("logFile", t.packageDir());  // a directory
         },
         always,
         ""},
        {"every candidate of a login name is taken",
         {{"first", "1", "男", "l1", "<null>", "", ""}},
         {},
         [](ImportTest& t) {
             t.inst().exec(
                 "WITH RECURSIVE n(x) AS (SELECT 1000 UNION ALL SELECT x + 1 FROM n WHERE x < "
                 "9999) INSERT INTO CV_PersonInfo(PerUUID, LoginName) SELECT 'busy' || x, "
                 "'l1_' || x FROM n");
             t.inst().exec("INSERT INTO CV_PersonInfo(PerUUID, LoginName) VALUES('x', 'l1')");
         },
         always,
         "人员未导入: 1 (PerUUID first): 注册名 l1 的候选名 l1_1000 至 l1_9999 都已被占用"},
        {"the department's level is full",
         {{"first", "1", "男", "l1", "0005", "", ""}},
         {{"0005", "新部门"}},
         [](ImportTest& t) {
             t.inst().exec("INSERT INTO CV_DeptInfo(DeptID, DeptName) VALUES('9999', '末')");
         },
         always,
         "人员未导入: 1 (PerUUID first): 部门 新部门 所在的一级已满"},
        {"a login name longer than its column",
         {{"first", "1", "男", login51, "<null>", "", ""}},
         {},
         [](ImportTest&) {},
         onPostgres,
         "人员未导入: 1 (PerUUID first): LoginName 超过字段长度 (51 个字符, 最多 50)"},
        {"a department name longer than its column",
         {{"first", "1", "男", "l1", "0005", "", ""}},
         {{"0005", dept150}},
         [](ImportTest&) {},
         onPostgres,
         "人员未导入: 1 (PerUUID first): 部门 " + dept150 +
             " 未能保存: DeptName 超过字段长度 (150 个字符, 最多 100)"},
        {"a department code of no whole level",
         {{"first", "1", "男", "l1", "005", "", ""}},
         {{"005", "甲"}},
         [](ImportTest&) {},
         [this] { return GetParam() == 1; },
         "人员未导入: 1 (PerUUID first): 部门编码 \"005\" 不足 4 位"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QDir().mkpath(packageDir());
        writePackage(packageDir(),
                     c.firstRow + QList<QStringList>{{"second", "2", "男", "l2", "<null>", "", ""},
                                                     {"third", "3", "男", "l3", "<null>", "", ""}},
                     c.depts);
        preview(Content::Empty);
        c.arrange(*this);
        EXPECT_EQ(PackageImport(packageDir()), 1);
        EXPECT_NE(person("second"), "<none>");
        EXPECT_NE(person("third"), "<none>");
        EXPECT_TRUE(packageFiles().isEmpty());
        const bool refused = c.refused();
        if (c.firstRow[0][0] != "<null>") {
            const QStringList stored =
                rows("SELECT LoginName FROM CV_PersonInfo WHERE PerUUID = 'first'");
            EXPECT_EQ(stored, refused ? QStringList() : QStringList{c.firstRow[0][3]});
        }
        if (c.reason.isEmpty()) continue;
        const QStringList lines = log().split('\n', Qt::SkipEmptyParts);
        EXPECT_EQ(lines.filter("人员未导入").size(), refused ? 1 : 0);
        if (refused) {
            EXPECT_TRUE(log().contains(c.reason)) << log().toStdString();
        }
        EXPECT_TRUE(lines.last().contains(
            QString("人员导入结束: 新增 %1 人, 改名后新增 0 人, 已存在 0 人, 未导入 %2 人")
                .arg(refused ? 2 : 3)
                .arg(refused ? 1 : 0)))
            << lines.last().toStdString();
    }
}

// The preview says what the import will do before anything is written, and keeps saying it
// while the user ticks: driven with real clicks on the tree the user sees.
TEST_P(ImportTest, ThePreviewSaysWhatTheImportWillDoAndKeepsItCurrent) {
    const QString login51(51, QChar(u'l'));
    QList<QStringList> people{
        {"present", "已在", "男", "p", "<null>", "", ""},
        {"clash", "重名", "男", "taken", "<null>", "", ""},
        {"full", "满级", "男", "full", "0005", "", ""},
        {"plain", "新人", "女", "plain", "<null>", "", ""},
    };
    // PostgreSQL refuses a text longer than its column; SQLite stores it.
    if (testdb::onPostgres()) people.append({"long", "长名", "男", login51, "<null>", "", ""});
    QDir().mkpath(packageDir());
    // A present person, a login name taken, a department level full.
    const auto arrange = [&] {
        writePackage(packageDir(), people, {{"0005", "新部门"}});
        install(Content::Empty);
        inst().exec(
            "INSERT INTO CV_PersonInfo(PerUUID, PerName, LoginName, PerDept, PrjID) "
            "VALUES('present', '原来', 'p', '', 0), ('other', 'x', 'taken', '', 0)");
        inst().exec("INSERT INTO CV_DeptInfo(DeptID, DeptName) VALUES('9999', '末')");
        setPackageVersion(3);
        TCVPerson::ResetLoginNameGenerator();
    };
    arrange();
    const QStringList storeBefore = rows("SELECT * FROM CV_PersonInfo ORDER BY PerUUID");
    hostWindow.resize(900, 600);
    hostWindow.show();
    ASSERT_EQ(PackageImportProc(packageDir(), &hostWindow), 1);
    QApplication::processEvents();
    const int notStored = testdb::onPostgres() ? 2 : 1;
    const auto line = [&](int inserted, int unstorable) {
        return QString(
                   "导入预计: 新增 %1 人, 改名后新增 1 人, 已存在 1 人, 无法导入 %2 人, "
                   "新建部门 0 个")
            .arg(inserted)
            .arg(unstorable);
    };
    const QLabel* planLine = frame()->LblPlan;
    EXPECT_TRUE(planLine->isVisible());
    EXPECT_EQ(planLine->text(), line(1, notStored));

    // What a click on each person shows in the panel, and how the tree marks it.
    struct Case {
        const char* id;
        QString planned;  // the panel's text begins so
        QString mark;     // the tooltip's second line; empty: not greyed
    };
    QList<Case> cases{
        {"present", "已存在, 不导入", "已存在, 不会导入"},
        {"clash", "改名后新增, 登录名 taken_1000 (taken 已被占用)", ""},
        {"full", "无法导入: 部门 新部门 所在的一级已满", "无法导入: 部门 新部门 所在的一级已满"},
        {"plain", "新增, 登录名 plain\n部门:  (编码 )", ""},
    };
    if (testdb::onPostgres())
        cases.append({"long", "无法导入: LoginName 超过字段长度 (51 个字符, 最多 50)",
                      "无法导入: LoginName 超过字段长度 (51 个字符, 最多 50)"});
    NodeModel& nodes = tree().nodes();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        const int node = findNode(tree(), c.id, "1");
        tree().scrollTo(nodes.indexOf(node));
        QTest::mouseClick(tree().viewport(), Qt::LeftButton, {}, tree().nodeRect(node).center());
        EXPECT_TRUE(frame()->GroupBoxPlan->isVisible());
        EXPECT_TRUE(frame()->LblPlanned->text().startsWith(c.planned))
            << frame()->LblPlanned->text().toStdString();
        const QModelIndex index = nodes.indexOf(node);
        EXPECT_EQ(index.data(Qt::DisplayRole).toString(), nodes.record(node).PersonName);
        EXPECT_EQ(index.data(Qt::ForegroundRole).isValid(), !c.mark.isEmpty());
        const QString note = index.data(Qt::ToolTipRole).toString().section('\n', 1);
        EXPECT_TRUE(c.mark.isEmpty() ? note.isEmpty() : note.startsWith(c.mark))
            << note.toStdString();
    }

    // Unticking the person who cannot be stored takes it off the line; ticking it again
    // brings it back; the person's own tick box is the one clicked.
    const int full = findNode(tree(), "full", "1");
    const auto clickBox = [&] {
        tree().scrollTo(nodes.indexOf(full));
        QTest::mouseClick(tree().viewport(), Qt::LeftButton, {},
                          tree().checkBoxRect(full).center());
        QApplication::processEvents();
    };
    clickBox();
    EXPECT_EQ(nodes.state(full), NodeModel::Unchecked);
    EXPECT_EQ(planLine->text(), line(1, notStored - 1));
    EXPECT_FALSE(nodes.indexOf(full).data(Qt::ForegroundRole).isValid());
    QTest::mouseClick(tree().viewport(), Qt::LeftButton, {}, tree().nodeRect(full).center());
    EXPECT_EQ(frame()->LblPlanned->text(), "未选中, 不导入");
    clickBox();
    EXPECT_EQ(planLine->text(), line(1, notStored));

    // Planning wrote nothing; the import then does what the line said.
    EXPECT_EQ(rows("SELECT * FROM CV_PersonInfo ORDER BY PerUUID"), storeBefore);
    EXPECT_FALSE(log().contains("人员"));
    EXPECT_EQ(PackageImport(packageDir()), 1);
    EXPECT_TRUE(log().contains(QString("人员导入结束: 新增 1 人, 改名后新增 1 人, 已存在 1 人, "
                                       "未导入 %1 人, 新建部门 0 个")
                                   .arg(notStored)))
        << log().toStdString();
    auto* plan = frame()->findChild<ImportAccount*>(ImportAccount::PlanName);
    auto* account = frame()->findChild<ImportAccount*>(ImportAccount::ImportName);
    ASSERT_TRUE(plan && account);
    const QList<AccountRow> done = account->rows();
    const auto same = [&](const QList<AccountRow>& planned) {
        ASSERT_EQ(planned.size(), done.size());
        for (qsizetype i = 0; i < planned.size(); ++i) {
            EXPECT_EQ(planned[i].outcome, done[i].outcome);
            EXPECT_EQ(planned[i].loginName, done[i].loginName);
            EXPECT_EQ(planned[i].reason, done[i].reason);
        }
    };
    same(plan->rows());

    // A package over the limit is planned only when the host reads the plan: the same plan.
    PackageFree();
    arrange();
    const qsizetype limit = ImportPreviewPlan::autoPlanLimit();
    ImportPreviewPlan::setAutoPlanLimit(2);
    const int previewed = PackageImportProc(packageDir(), &hostWindow);
    ImportPreviewPlan::setAutoPlanLimit(limit);
    ASSERT_EQ(previewed, 1);
    EXPECT_EQ(frame()->LblPlan->text(),
              QString("导入预计: 共 %1 人, 人数较多, 预演时再计算").arg(people.size()));
    plan = frame()->findChild<ImportAccount*>(ImportAccount::PlanName);
    ASSERT_NE(plan, nullptr);
    same(plan->rows());
    EXPECT_EQ(frame()->LblPlan->text(), line(1, notStored));
}

TEST_P(ImportTest, RefusesABrokenPackageBeforeStoringAnything) {
    struct Case {
        const char* what;
        std::function<void(ImportTest&)> spoil;  // after the preview
        std::function<QString(ImportTest&)> argument;
        int result;
        QStringList filesLeft;
    };
    auto dir = [](ImportTest& t) { return t.packageDir(); };
    auto junk = [](const QString& path) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("<DATAPACKET><ROWDATA><ROW PerUUID=");
    };
    const QStringList both = {"deptinfo.per", "perinfo.per"};
    const Case cases[] = {
        {"person file missing",
         [](ImportTest& t) { QFile::remove(t.packageDir() + "perinfo.per"); },
         dir,
         -1,
         {}},
        {"department file missing",
         [](ImportTest& t) { QFile::remove(t.packageDir() + "deptinfo.per"); },
         dir,
         -1,
         {}},
        {"person file not a data packet",
         [&](ImportTest& t) { junk(t.packageDir() + "perinfo.per"); },
         dir,
         -1,
         {}},
        {"department file not a data packet",
         [&](ImportTest& t) { junk(t.packageDir() + "deptinfo.per"); },
         dir,
         -1,
         {}},
        {"person file without LoginName",
         [](ImportTest& t) {
             writeDataSetFile(t.packageDir() + "perinfo.per", {"PerUUID", "PerName"},
                              {{"first", "1"}});
         },
         dir,
         -1,
         {}},
        {"department file without DeptName",
         [](ImportTest& t) {
             writeDataSetFile(t.packageDir() + "deptinfo.per", {"DeptID"}, {{"0001"}});
         },
         dir,
         -1,
         {}},
        {"directory without its trailing separator", [](ImportTest&) {},
         [](ImportTest& t) { return t.packageDir().chopped(1); }, -1, both},
        {"the import-all marker is not looked for", [](ImportTest&) {},
         [](ImportTest& t) { return "@&@" + t.packageDir(); }, -1, both},
        {"the store refuses a statement outside the protected steps",
         [](ImportTest& t) {
             t.inst().exec("ALTER TABLE CV_PersonInfo RENAME COLUMN PerUUID TO Renamed");
         },
         dir,
         -1,
         {}},
        {"no frame", [](ImportTest&) { PackageFree(); }, dir, -2, both},
        {"the store is not ready",
         [](ImportTest&) {
             static QObject otherApplication;
             installContext(&otherApplication, nullptr, nullptr);
             cvhost::Settings::instance().set("db", "");
             cvhost::closeConnections();
         },
         dir, -1, both},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QDir().mkpath(packageDir());
        writePackage(packageDir(), {{"first", "1", "男", "l1", "0001", "", ""}}, {{"0001", "甲"}});
        preview(Content::Empty);
        c.spoil(*this);
        EXPECT_EQ(PackageImport(c.argument(*this)), c.result);
        EXPECT_EQ(packageFiles(), c.filesLeft);
        EXPECT_EQ(inst().count("SELECT count(*) FROM CV_PersonInfo") +
                      inst().count("SELECT count(*) FROM CV_DeptInfo"),
                  0);
    }
}

TEST_P(ImportTest, ConfiguresThePreviewFrameOrLeavesItEmpty) {
    QDir().mkpath(packageDir());
    writePackage(packageDir(),
                 {{"first", "1", "男", "l1", "00010001", "", ""},
                  {"second", "2", "女", "l2", "<null>", "", ""}},
                 {{"00010001", "甲_乙"}});
    preview(Content::Empty);
    TFramePerson* embedded = frame();
    EXPECT_EQ(embedded->parentWidget(), &hostWindow);
    EXPECT_TRUE(embedded->TvDeptPerson->isHidden());
    EXPECT_FALSE(embedded->PnlImport->isHidden());
    EXPECT_TRUE(embedded->SizePnl->lockBar());
    EXPECT_TRUE(tree().hasCheckBoxes());
    EXPECT_TRUE(tree().isOpen(0));
    EXPECT_FALSE(tree().isOpen(findNode(tree(), "0001", "0")));
    EXPECT_EQ(GetTickedPersons(1), "second,first");

    // Import everything: no tick boxes, every node checked, the files read where they lie.
    PackageFree();
    ASSERT_EQ(PackageImportProc("@&@" + packageDir().chopped(1), &hostWindow), 1);
    EXPECT_FALSE(tree().hasCheckBoxes());
    for (int node = 0; node < tree().nodes().size(); ++node)
        EXPECT_EQ(tree().stateIndex(node), CheckTree::Checked);
    EXPECT_EQ(GetTickedPersons(1), "second,first");

    // A package that cannot be read: the frame stays registered, empty and unplaced.
    PackageFree();
    QFile::remove(packageDir() + "deptinfo.per");
    EXPECT_EQ(PackageImportProc(packageDir(), &hostWindow), -1);
    ASSERT_NE(frame(), nullptr);
    EXPECT_EQ(frame()->parentWidget(), nullptr);
    EXPECT_EQ(tree().nodes().size(), 0);
    EXPECT_EQ(PackageFree(), 1);
}

// Packed packages come from elsewhere: whatever they hold, nothing lands outside the
// temporary directory and a refused archive is read as no package.
TEST_P(ImportTest, ReadsPackedPackagesAndRefusesUnsafeOnes) {
    QDir().mkpath(packageDir());
    writePackage(packageDir(), {{"first", "1", "男", "l1", "<null>", "", ""}}, {});
    const QString script = R"(
import sys, zipfile
out, kind, per, dept, outside = sys.argv[1:6]
with zipfile.ZipFile(out, 'w') as z:
    z.write(per, 'perinfo.per'); z.write(dept, 'deptinfo.per')
    if kind == 'dotdot': z.writestr('../evil.txt', 'x')
    if kind == 'absolute': z.writestr(zipfile.ZipInfo(outside), 'x')
    if kind == 'symlink':
        info = zipfile.ZipInfo('link.txt'); info.create_system = 3
        info.external_attr = 0o120777 << 16; z.writestr(info, '/etc/passwd')
    if kind == 'notazip': open(out, 'wb').write(b'PK\x03\x04 not really')
)";
    const QString outside = packages_.path() + "/absolute-evil.txt";
    const QString good = packages_.path() + "/plain.zip";
    for (const QString kind : {"plain", "dotdot", "absolute", "symlink", "notazip"}) {
        SCOPED_TRACE(kind.toStdString());
        const bool accepted = kind == "plain";
        const QString zip = packages_.path() + "/" + kind + ".zip";
        ASSERT_EQ(
            QProcess::execute("python3", {"-c", script, zip, kind, packageDir() + "perinfo.per",
                                          packageDir() + "deptinfo.per", outside}),
            0);
        install(Content::Empty);
        setPackageVersion(1);
        EXPECT_EQ(PackageImportProc(zip, &hostWindow), accepted ? 1 : -1);
        if (!accepted) {  // the import of a refused package behind the preview of a good one
            PackageFree();
            ASSERT_EQ(PackageImportProc(good, &hostWindow), 1);
        }
        EXPECT_EQ(PackageImport(zip), accepted ? 1 : -1);
        EXPECT_EQ(person("first") != "<none>", accepted);
        EXPECT_FALSE(QFile::exists(inst().tempDir() + "evil.txt"));
        EXPECT_FALSE(QFile::exists(outside));
        EXPECT_TRUE(QDir(inst().tempDir() + "XTGL/").isEmpty());
    }
}

}  // namespace
}  // namespace cv::test
