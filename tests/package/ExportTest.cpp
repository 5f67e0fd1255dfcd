#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProgressDialog>
#include <QPushButton>
#include <QRegularExpression>
#include <QSet>
#include <QTimer>
#include <functional>

#include "Database.h"
#include "GetTickedPersons.h"
#include "OperationProgress.h"
#include "PackageTest.h"
#include "SmallDisk.h"
#include "TDM_PersonPack.h"
#include "TextCodec.h"

namespace cv::test {
namespace {

class ExportTest : public PackageTest {
public:
    QString packageDirectory() { return inst().packageDir() + "PerInfo/"; }
    QStringList packageFiles() {
        return QDir(packageDirectory()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    }
    // The messages of the host's log.
    QStringList logMessages() {
        QFile file(inst().logFile());
        QStringList messages;
        if (file.open(QIODevice::ReadOnly)) {
            for (const QByteArray& line : file.readAll().split('\n'))
                if (!line.isEmpty()) messages << QString::fromUtf8(line).section('\t', 6);
        }
        return messages;
    }
};
CV_BOTH_STYLES(ExportTest);

int framesAlive() {
    int count = 0;
    for (QWidget* widget : QApplication::allWidgets())
        count += qobject_cast<TFramePerson*>(widget) != nullptr;
    return count;
}

TEST_P(ExportTest, EmbedsOneFullyTickedFrameInTheHostWindow) {
    install(Content::SampleA);
    ASSERT_EQ(PackageExportProc(&hostWindow), 1);
    TFramePerson* embedded = frame();
    ASSERT_NE(embedded, nullptr);
    EXPECT_EQ(embedded->parentWidget(), &hostWindow);
    EXPECT_TRUE(embedded->SizePnl->lockBar());
    EXPECT_EQ(embedded->SizePnl->panelWidth(), 200);
    EXPECT_TRUE(embedded->CTDeptPerson->hasCheckBoxes());
    EXPECT_TRUE(tree().isOpen(0));
    EXPECT_FALSE(tree().isOpen(findNode(tree(), "0002", "0")));
    int unticked = 0;
    for (int node = 0; node < tree().nodes().size(); ++node)
        unticked += tree().stateIndex(node) != CheckTree::Checked;
    EXPECT_EQ(unticked, 0);

    // The name is taken: a second embed of either kind makes no second frame.
    EXPECT_EQ(PackageExportProc(&hostWindow), -1);
    EXPECT_EQ(PackageImportProc(inst().packageDir(), &hostWindow), -1);
    EXPECT_EQ(frame(), embedded);
    EXPECT_EQ(framesAlive(), 1);

    EXPECT_EQ(PackageFree(), 1);
    EXPECT_EQ(framesAlive(), 0);
    EXPECT_EQ(PackageExportProc(&hostWindow), 1);
    EXPECT_EQ(framesAlive(), 1);
}

TEST_P(ExportTest, WritesTheTickedPeopleAndTheDepartmentsHoldingThem) {
    install(Content::SampleA);
    const QString quoted = "q'1";
    const QString hostile = "q') OR ('1'='1";
    for (const QString& id : {quoted, hostile})
        inst().exec(
            "INSERT INTO CV_PersonInfo(PerUUID, PerName, PerSex, LoginName, PerDept) "
            "VALUES(" +
            sqlQuote(id) + ", 'Q', '男', " + sqlQuote(id) + ", '00030001')");
    // Shown while it still has its department row, which is gone by the time of the export.
    inst().exec("INSERT INTO CV_DeptInfo(DeptID, DeptName) VALUES('0099', 'gone')");
    ASSERT_EQ(PackageExportProc(&hostWindow), 1);
    inst().exec("DELETE FROM CV_DeptInfo WHERE DeptID = '0099'");
    for (const char* dept : {"00010001"}) tree().toggle(findNode(tree(), dept, "0"));
    for (const QString& id : {QString("310101198001010011"), hostile})
        tree().toggle(findNode(tree(), id, "1"));

    ASSERT_EQ(PackageExport(), packageDirectory());
    EXPECT_EQ(packageFiles().size(), 3);

    const QString exported =
        "SELECT PerUUID FROM CV_PersonInfo WHERE PerUUID NOT IN ('111111111111111111', " +
        QString(GetParam() == 1 ? "'222222222222222222', " : "") +
        "'310101198001010011', '310101198203150022', '310101198507200033', "
        "'310101199904280322', " +
        sqlQuote(hostile) + ")";
    const QStringList personColumns = {"PerUUID",   "PerName",   "PerSex",  "PerMemo",
                                       "LoginName", "UPassWord", "PerDept", "PrjID",
                                       "DeptID",    "DeptName",  "DeptMemo"};
    QStringList people = fileRows(packageDirectory() + "perinfo.per", personColumns);
    people.sort();
    QStringList expectedPeople = rows(
        "SELECT p.PerUUID, p.PerName, p.PerSex, p.PerMemo, p.LoginName, "
        "p.UPassword, p.PerDept, p.PrjID, d.DeptID, d.DeptName, d.DeptMemo "
        "FROM CV_PersonInfo p LEFT JOIN CV_DeptInfo d ON p.PerDept = d.DeptID "
        "WHERE p.PerUUID IN (" +
        exported + ")");
    expectedPeople.sort();
    EXPECT_EQ(people, expectedPeople);
    EXPECT_EQ(people.size(), GetParam() == 1 ? 29 : 30);
    EXPECT_TRUE(
        people.contains("310101199702260300|程亮|男|原部门已撤销|chengliang|"
                        "chengliang@123|0099|0|<null>|<null>|<null>"));
    EXPECT_TRUE(people.contains("q'1|Q|男|<null>|q'1|<null>|00030001|<null>|00030001|会计科|"));
    EXPECT_TRUE(
        people.contains("310101199506060100|吴霞|女|前端|wuxia|wuxia@123|000200010001|0|"
                        "000200010001|软件组|"));

    QStringList depts =
        fileRows(packageDirectory() + "deptinfo.per", {"DeptID", "DeptName", "DeptMemo"});
    depts.sort();
    QStringList expectedDepts({
        "00010002|总经理办公室_秘书科|",
        "0002|技术部|",
        "00020001|技术部_研发中心|",
        "000200010001|技术部_研发中心_软件组|",
        "000200010002|技术部_研发中心_硬件组|",
        "00020002|技术部_测试中心|",
        "0003|财务部|",
        "00030001|财务部_会计科|",
        "00030002|财务部_出纳科|",
        "0004|市场部|",
        "00040001|市场部_华东区|",
        "000400010001|市场部_华东区_上海办事处|",
        "00040002|市场部_华南区|",
    });
    expectedDepts.sort();
    EXPECT_EQ(depts, expectedDepts);
}

TEST_P(ExportTest, AnswersACodeForEachWayItCannotWriteThePackage) {
    struct Case {
        const char* what;
        std::function<void(ExportTest&)> arrange;  // after the frame is embedded
        QString result;                            // "dir": the package directory
        QStringList files;                         // left in the package directory
        int people = -1;                           // rows of the person file, if checked
        QString logged = {};                       // in the failure's line
    };
    auto untickPeople = [](ExportTest& t) {
        for (int node = 0; node < t.tree().nodes().size(); ++node)
            if (t.tree().nodes().isPerson(node)) t.tree().setStateIndex(node, CheckTree::Unchecked);
    };
    auto makeDirectory = [](const QString& path) { QDir().mkpath(path); };
    const QStringList all = {"SysPerInfo.XML", "deptinfo.per", "perinfo.per"};
    const Case cases[] = {
        {"no frame", [](ExportTest&) { PackageFree(); }, "-2", {}},
        {"departments ticked, nobody ticked", untickPeople, "-2", {}},
        {"the package directory cannot be created",
         [](ExportTest& t) {
             QFile file(t.packageDirectory().chopped(1));
             ASSERT_TRUE(file.open(QIODevice::WriteOnly));
         },
         "-3",
         {},
         -1,
         "不是目录"},
        {"the store is not ready",
         [](ExportTest& t) {
             static QObject otherApplication;
             cvhost::Settings::instance().set("db", "");
             cvhost::closeConnections();
             installContext(&otherApplication, nullptr, nullptr);
         },
         " ",
         {},
         -1,
         "主机没有提供"},
        {"the person fetch fails",
         [](ExportTest& t) { t.inst().exec("DROP TABLE CV_DeptInfo"); },
         " ",
         {},
         -1,
         "CV_DeptInfo"},
        {"the person file cannot be saved",
         [&](ExportTest& t) { makeDirectory(t.packageDirectory() + "perinfo.per"); },
         " ",
         {"perinfo.per"},
         -1,
         "perinfo.per: 那里是一个目录"},
        // The three files go in place together or not at all.
        {"the manifest cannot be written",
         [&](ExportTest& t) { makeDirectory(t.packageDirectory() + "SysPerInfo.XML"); },
         " ",
         {"SysPerInfo.XML"},
         -1,
         "SysPerInfo.XML: 那里是一个目录"},
        {"a row longer than the reader takes (a memo of 9 MB)",
         [](ExportTest& t) {
             if (testdb::onPostgres())
                 t.inst().exec("ALTER TABLE CV_PersonInfo ALTER COLUMN PerMemo TYPE text");
             t.inst().exec("UPDATE CV_PersonInfo SET PerMemo = '" + QString(9000000, 'x') +
                           "' WHERE PerUUID = '310101198507200033'");
         },
         " ",
         {},
         -1,
         "人员 张伟 (PerUUID 310101198507200033) 的字段 PerMemo 的值过长 (这一行写出至少 9000"},
        {"the ticked people are gone: empty files, still a package",
         [](ExportTest& t) { t.inst().exec("DELETE FROM CV_PersonInfo"); }, "dir", all, 0},
        // Files that a writer that died staged, and another spelling of a package file, go;
        // what else the directory holds stays, a folder with what it holds included.
        {"an earlier package is replaced, other files stay",
         [](ExportTest& t) {
             QDir().mkpath(t.packageDirectory() + "folder");
             for (const char* name : {"perinfo.per", "SysPerInfo.XML", "keep.txt",
                                      "perinfo.per.k3x9q1", "DEPTINFO.PER", "folder/kept"}) {
                 QFile file(t.packageDirectory() + name);
                 ASSERT_TRUE(file.open(QIODevice::WriteOnly));
                 file.write("old");
             }
         },
         "dir",
         QStringList(all) << "keep.txt"
                          << "folder",
         GetParam() == 1 ? 31 : 32},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        install(Content::SampleA);
        ASSERT_EQ(PackageExportProc(&hostWindow), 1);
        c.arrange(*this);
        const QString result = PackageExport();
        EXPECT_EQ(result, c.result == "dir" ? packageDirectory() : c.result);
        QStringList files = packageFiles();
        QStringList expectedFiles = c.files;
        files.sort(Qt::CaseInsensitive);
        expectedFiles.sort(Qt::CaseInsensitive);
        EXPECT_EQ(files, expectedFiles);
        if (expectedFiles.contains("folder")) {
            EXPECT_TRUE(QFile::exists(packageDirectory() + "folder/kept"));
        }
        EXPECT_EQ(QDir(inst().packageDir())
                      .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)
                      .filter(".PerInfo"),
                  QStringList());
        if (c.people >= 0) {
            EXPECT_EQ(fileRows(packageDirectory() + "perinfo.per", {"PerUUID"}).size(), c.people);
        }
        // A failure leaves one line that says why (PostgreSQL names the fields in lower case);
        // a package or nothing ticked, none.
        const QStringList lines = logMessages();
        if (result == " " || result == "-3") {
            ASSERT_EQ(lines.size(), 1) << lines.join('\n').toStdString();
            EXPECT_TRUE(lines[0].startsWith("人员包未写出: ")) << lines[0].toStdString();
            EXPECT_TRUE(lines[0].contains(c.logged, Qt::CaseInsensitive)) << lines[0].toStdString();
        } else {
            EXPECT_EQ(lines, QStringList());
        }
    }
}

// The person file of one package holds at most 16,000,000 values: with the person table
// widened to 1,600 columns (1,603 fields with the department's), 9,981 people. One more is
// refused before anything is fetched or written, saying how many one package holds; one
// fewer is written.
TEST_P(ExportTest, TooManyPeopleForOnePackageAreRefusedBeforeTheWork) {
    install(Content::Empty);
    QStringList columns;
    for (int i = 0; i < 1592; ++i) columns << QString("ADD COLUMN Extra%1 varchar(8)").arg(i);
    if (testdb::onPostgres()) {
        inst().exec("ALTER TABLE CV_PersonInfo " + columns.join(", "));
    } else {
        for (const QString& column : columns) inst().exec("ALTER TABLE CV_PersonInfo " + column);
    }
    inst().exec("INSERT INTO CV_DeptInfo(DeptID, DeptName, DeptMemo) VALUES('0001', '部', '')");
    inst().exec(
        "INSERT INTO CV_PersonInfo(PerUUID, PerName, PerSex, LoginName, UPassword, PerDept) "
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 9982) "
        "SELECT 'W' || i, 'N' || i, '男', 'L' || i, 'P', '0001' FROM n");
    ASSERT_EQ(PackageExportProc(&hostWindow), 1);

    EXPECT_EQ(PackageExport(), " ");
    EXPECT_EQ(logMessages(), QStringList("人员包未写出: 选中了 9982 人, 一个人员包最多容纳 9981 人 "
                                         "(人员文件每人 1603 个字段, 一个数据包最多 4000000 行, "
                                         "16000000 个值); 请分几次导出, 每次不超过 9981 人"));
    EXPECT_EQ(
        QDir(inst().packageDir()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
        QStringList());
    EXPECT_EQ(TDM_PersonPack::instance()->CdsExportPer.data().rows.size(), 0);

    tree().setStateIndex(findNode(tree(), "W9982", "1"), CheckTree::Unchecked);
    EXPECT_EQ(PackageExport(), packageDirectory());
    EXPECT_EQ(fileRows(packageDirectory() + "perinfo.per", {"PerUUID"}).size(), 9981);
}

TEST_P(ExportTest, EveryCharacterOfEveryValueReachesTheImportPreview) {
    const QString escape = QString::fromUcs4(U"\U0010FFFD", 1);
    const QStringList values = {
        "memo\u000Bline",
        "\u0001\u0008\u000C\u000E\u001F\u007F",
        QStringLiteral("\uFEFFBOM"),
        QStringLiteral("\uFEFF\uFEFF"),
        "in\uFEFFside",
        escape,
        escape + "000B",
        "<a href=\"x\">&amp;&#10;</a>]]>",
        " \t\r\n line\r\n ",
        "张三·😀",
        "'quoted' \"twice\"",
    };
    install(Content::SampleA);
    for (const QString& value : values) {
        const QString q = sqlQuote(value);
        inst().exec(
            "INSERT INTO CV_PersonInfo(PerUUID, PerName, PerSex, PerMemo, LoginName, UPassword, "
            "PerDept) VALUES(" +
            q + ", " + q + ", '男', " + q + ", " + q + ", " + q + ", '00030001')");
    }
    ASSERT_EQ(PackageExportProc(&hostWindow), 1);
    ASSERT_EQ(PackageExport(), packageDirectory());
    QHash<QString, QStringList> exported;
    for (const QString& row : fileRows(packageDirectory() + "perinfo.per",
                                       {"PerUUID", "PerName", "PerMemo", "LoginName", "UPassWord"}))
        exported.insert(row.section('|', 0, 0), row.split('|'));

    PackageFree();
    setPackageVersion(3);
    ASSERT_EQ(PackageImportProc(packageDirectory(), &hostWindow), 1);
    for (const QString& value : values) {
        SCOPED_TRACE(logSafeText(value).toStdString());
        EXPECT_EQ(exported.value(value), QStringList(5, value));
        const int node = findNode(tree(), value, "1");
        ASSERT_GE(node, 0);
        EXPECT_EQ(tree().nodes().text(node), value);
        EXPECT_EQ(tree().nodes().record(node).NameOrLogin, value);
        EXPECT_EQ(tree().nodes().record(node).PersonName, value);
    }

    // Imported into an installation that lacks them, they are stored as they were.
    QStringList quoted;
    for (const QString& value : values) quoted << sqlQuote(value);
    const QString where = " WHERE PerUUID IN (" + quoted.join(", ") + ")";
    const QString stored =
        "SELECT PerUUID, PerName, PerMemo, LoginName, UPassWord "
        "FROM CV_PersonInfo" +
        where + " ORDER BY PerUUID";
    const QStringList before = rows(stored);
    ASSERT_EQ(before.size(), values.size());
    inst().exec("DELETE FROM CV_PersonInfo" + where);
    ASSERT_EQ(PackageImport(packageDirectory()), 1);
    EXPECT_EQ(rows(stored), before);
}

// An export or an import preview that runs long shows the people done over the host's
// window (without a cancel button: neither leaves anything half done), and then gives what
// a quick one gives.
TEST_P(ExportTest, ALongExportOrPreviewShowsItsProgressOverTheHostWindow) {
    install(Content::SampleA);
    QStringList people;
    for (int i = 0; i < 1500; ++i)
        people << QString("('Q%1', '人%1', '男', 'q%1', '00030001')").arg(i);
    inst().exec("INSERT INTO CV_PersonInfo(PerUUID, PerName, PerSex, LoginName, PerDept) VALUES " +
                people.join(", "));

    struct Seen {
        QWidget* parent;
        QString label;
        bool cancel;
    };
    QList<Seen> seen;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (auto* dialog = qobject_cast<QProgressDialog*>(QApplication::activeModalWidget()))
            seen << Seen{dialog->parentWidget(), dialog->labelText(),
                         dialog->findChild<QPushButton*>() != nullptr};
    });
    poll.start(0);
    OperationProgress::setShowDelay(0);
    ASSERT_EQ(PackageExportProc(&hostWindow), 1);
    // The identifiers the statements list: each ticked person once where they are sorted
    // (SQLite), every ticked person node in the tree's order elsewhere.
    const QStringList ticked = TickedPersonIds(tree());
    const QString total = QString::number(TDM_PersonPack::instance()->sortsSelection()
                                              ? QSet<QString>(ticked.begin(), ticked.end()).size()
                                              : ticked.size());
    const QString written = PackageExport();
    const qsizetype duringExport = seen.size();
    PackageFree();
    setPackageVersion(3);
    const int previewed = PackageImportProc(packageDirectory(), &hostWindow);
    OperationProgress::setShowDelay(500);
    ASSERT_EQ(written, packageDirectory());
    ASSERT_EQ(previewed, 1);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);

    const QRegularExpression exportLabel("^正在写出人员包: (\\d+) / " + total + " 人$");
    // The preview reads the package for its tree, then again, with the store, for its plan.
    const QRegularExpression previewLabel("^正在读取人员包: (\\d+) 人$");
    const QRegularExpression planLabel("^正在预计导入结果: (\\d+) 行$");
    ASSERT_GT(duringExport, 0);
    ASSERT_GT(seen.size(), duringExport);
    for (qsizetype i = 0; i < seen.size(); ++i) {
        SCOPED_TRACE(seen[i].label.toStdString());
        if (i >= duringExport && planLabel.match(seen[i].label).hasMatch()) continue;
        const auto match = (i < duringExport ? exportLabel : previewLabel).match(seen[i].label);
        ASSERT_TRUE(match.hasMatch());
        EXPECT_LE(match.captured(1).toInt(), total.toInt());
        EXPECT_EQ(seen[i].parent, &hostWindow);
        EXPECT_FALSE(seen[i].cancel);
    }
}

TEST_P(ExportTest, ADiskThatFillsAnywhereGivesTheWholePackageOrKeepsTheEarlierOne) {
    if (GetParam() == 1) GTEST_SKIP() << "the files are written alike in both styles";
    const QStringList names = {"deptinfo.per", "perinfo.per", "SysPerInfo.XML"};
    const auto keep = [&](const QString& folder) {
        QDir().mkpath(folder);
        for (const QString& name : names) {
            QFile::remove(folder + name);
            ASSERT_TRUE(QFile::copy(packageDirectory() + name, folder + name));
        }
    };
    const auto pagesOf = [&](const QString& folder) {
        qint64 pages = 0;
        for (const QString& name : names)
            pages += testhost::SmallDisk::pages(QFileInfo(folder + name).size());
        return pages;
    };

    // The earlier package: the sample's people. The new one: 20,000 more.
    install(Content::SampleA);
    ASSERT_EQ(PackageExportProc(&hostWindow), 1);
    ASSERT_EQ(PackageExport(), packageDirectory());
    const QString earlier = inst().folder() + "earlier/";
    keep(earlier);
    const QStringList depts = {"0001", "00010001", "0002", "000200010001", "00030002", "0099"};
    for (int batch = 0; batch < 20; ++batch) {
        QStringList rows;
        for (int i = batch * 1000; i < (batch + 1) * 1000; ++i)
            rows << QStringLiteral(
                        "('F%1', '姓名%1', '男', '备注 & <%1>', 'login%1', 'pw%1', '%2')")
                        .arg(i, 6, 10, QLatin1Char('0'))
                        .arg(depts[i % depts.size()]);
        inst().exec(
            "INSERT INTO CV_PersonInfo(PerUUID, PerName, PerSex, PerMemo, LoginName, UPassword, "
            "PerDept) VALUES " +
            rows.join(','));
    }
    PackageFree();
    ASSERT_EQ(PackageExportProc(&hostWindow), 1);
    ASSERT_EQ(PackageExport(), packageDirectory());
    const QString whole = inst().folder() + "whole/";
    keep(whole);
    for (const QString& name : names) QFile::remove(packageDirectory() + name);

    // Room for the earlier package and `extra` pages: the new one needs room beside it until
    // it is whole. The sizes fall in each of the three files, and at their edges.
    const qint64 needed = pagesOf(whole);
    const qint64 person = testhost::SmallDisk::pages(QFileInfo(whole + "perinfo.per").size());
    const qint64 dept = testhost::SmallDisk::pages(QFileInfo(whole + "deptinfo.per").size());
    QList<qint64> extras = {
        0, 1, person - 1, person, person + dept - 1, person + dept, needed - 1, needed, needed + 1};
    for (int i = 1; i < 16; ++i) extras << person * i / 16;
    int written = 0;
    for (const qint64 extra : extras) {
        SCOPED_TRACE("room for " + std::to_string(extra) + " of " + std::to_string(needed) +
                     " pages");
        testhost::SmallDisk disk(packageDirectory(),
                                 (pagesOf(earlier) + extra) * testhost::SmallDisk::Page);
        if (!disk.mounted()) GTEST_SKIP() << disk.why().toStdString();
        for (const QString& name : names) {
            QFile::remove(packageDirectory() + name);
            ASSERT_TRUE(QFile::copy(earlier + name, packageDirectory() + name));
        }
        const QString result = PackageExport();
        EXPECT_EQ(result, extra >= needed ? packageDirectory() : QStringLiteral(" "));
        QStringList files = packageFiles();
        files.sort(Qt::CaseInsensitive);
        EXPECT_EQ(files, names);
        const QString& expected = result == packageDirectory() ? whole : earlier;
        for (const QString& name : names)
            EXPECT_TRUE(bytesWithoutExportMark(packageDirectory() + name) ==
                        bytesWithoutExportMark(expected + name))
                << name.toStdString();
        written += result == packageDirectory();
    }
    EXPECT_EQ(written, 2);
}

TEST_P(ExportTest, WritesIntoARelativeDirectoryWhenTheHostHasNoPackageDirectory) {
    install(Content::SampleA);
    ASSERT_EQ(PackageExportProc(&hostWindow), 1);
    const QString before = QDir::currentPath();
    QDir::setCurrent(inst().folder());
    testhost::answers().appInterfaceAvailable = false;
    const QString result = PackageExport();
    QDir::setCurrent(before);
    EXPECT_EQ(result, "PerInfo/");
    EXPECT_TRUE(QFile::exists(inst().folder() + "PerInfo/SysPerInfo.XML"));
}

}  // namespace
}  // namespace cv::test
