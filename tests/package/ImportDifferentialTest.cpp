// The import decides every person against one read of the store; the person store's
// per-statement operations remain the reference. On many seeded random installations and
// packages, both leave the same store, the same rename lines and the same result.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProgressDialog>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "Database.h"
#include "GetTickedPersons.h"
#include "HostServices.h"
#include "ImportAccount.h"
#include "ImportItems.h"
#include "ImportPreviewPlan.h"
#include "LoginNames.h"
#include "NodeTree.h"
#include "OperationProgress.h"
#include "PackageFiles.h"
#include "PackageTest.h"
#include "StoreError.h"
#include "TCVPerson.h"
#include "TDM_PersonPack.h"
#include "WindowedImport.h"

namespace cv::test {
namespace {

// The import as the person store's operations compose it, one statement at a time, in the
// order of the rules: locate, present, login clash, department, insert; then every
// department of the package. The row of a ticked node is the one it was made from.
std::int32_t referenceImport(const QString& packageDir) {
    if (!TDM_PersonPack::PrepareStore()) return -1;
    const QList<TickedPerson> ticked = TickedPersonsOfFrame();
    if (ticked.isEmpty()) return -2;
    ClientDataSet people;
    ClientDataSet depts;
    people.loadFromFile(packageDir + "perinfo.per");
    depts.loadFromFile(packageDir + "deptinfo.per");
    QHash<QString, QString> paths;
    for (depts.first(); !depts.eof(); depts.next())
        if (!depts.isNull("DeptName")) paths.insert(depts.text("DeptID"), depts.text("DeptName"));
    const auto text = [&](const char* field) {
        return people.fieldIndex(field) < 0 ? QString() : people.text(field);
    };
    try {
        for (const TickedPerson& t : ticked) {
            bool found = false;
            for (people.first(); !people.eof(); people.next())
                if (!people.isNull("PerUUID") && people.text("PerUUID") == t.id &&
                    (people.rowNumber() == t.row || t.row < 0)) {
                    found = true;
                    break;
                }
            if (!found && !people.locate("PerUUID", t.id)) continue;
            if (TCVPerson::PersonExists(t.id)) continue;
            TCVPersonInfo p{text("PerUUID"), text("UPassWord"), text("PerName"), text("PerSex"),
                            text("PerMemo"), text("LoginName"), text("PerDept")};
            if (TCVPerson::LoginNameExists(p.LoginName)) {
                const QString old = p.LoginName;
                try {
                    p.LoginName = TCVPerson::MakeUniqueLoginName(old);
                } catch (const LoginNameExhausted&) {
                    continue;
                }
                if (host::writeLog("要导入的注册名" + old + "已经存在,已经被改为" + p.LoginName) !=
                    1)
                    continue;
            }
            if (!p.PerDept.isEmpty()) {
                const QString path = paths.value(p.PerDept);
                if (path.isEmpty()) {
                    p.PerDept.clear();
                } else {
                    if (!TCVPerson::ResolveDeptPath(path, p.PerDept)) continue;
                    p.PerDept = TCVPerson::ResolvedDeptID();
                }
            }
            TCVPerson::InsertPerson(p);
        }
        for (depts.first(); !depts.eof(); depts.next()) {
            try {
                if (!depts.text("DeptName").isEmpty() && !depts.text("DeptID").isEmpty())
                    TCVPerson::ResolveDeptPath(depts.text("DeptName"), depts.text("DeptID"));
            } catch (const std::exception&) {
            }
        }
    } catch (const std::exception&) {
        return -1;
    }
    return TDM_PersonPack::PrepareStore() ? 1 : -1;
}

// One random installation and package, from a seed. Names repeat under other parents and
// within a level, codes collide, values hold quotes, nulls and empty texts, some values are
// longer than the host's columns (which PostgreSQL refuses), some levels are full.
struct Case {
    QList<QStringList> storeDepts;   // DeptID, DeptName
    QList<QStringList> storePeople;  // PerUUID, PerName, LoginName, PerDept
    QStringList personFields;
    QList<QStringList> people;  // by personFields
    QList<QStringList> depts;   // DeptID, DeptName, DeptMemo
    QList<int> untick;          // node numbers, in list order, that the user unticks

    explicit Case(quint32 seed) {
        QRandomGenerator r(seed);
        const auto pick = [&r](const QStringList& from) { return from[r.bounded(from.size())]; };
        const auto chance = [&r](int percent) { return int(r.bounded(100)) < percent; };
        const QString longText(60, QChar(u'长'));
        const QStringList names = {"甲", "乙", "丙", "技术部", "O'Neil", "", "研发"};
        const QStringList digits = {"0001", "0002", "0003", "0007", "0010"};
        const auto code = [&](int levels) {
            QString c;
            for (int k = 0; k < levels; ++k) c += pick(digits);
            return c;
        };

        for (int i = r.bounded(12); i > 0; --i) {
            QString id = code(1 + r.bounded(3));
            if (chance(5)) id = id.chopped(4) + "9999";  // a full level
            if (chance(5)) id = id.chopped(4) + "00A1";  // not a number
            if (chance(5)) id = id.left(3);              // no whole level
            storeDepts << QStringList{id, chance(10) ? "<null>" : pick(names)};
        }
        // 47 characters fit the column (50 on PostgreSQL); drawn for, they no longer do.
        const QStringList logins = {"l1",    "l2", "l3", "l1_1000", "l2_1282",
                                    "_1000", "zz", "",   "<null>",  QString(47, QChar(u'm'))};
        const auto id = [&] { return QString("P%1").arg(r.bounded(40)); };
        for (int i = r.bounded(10); i > 0; --i)
            storePeople << QStringList{id(), pick(names), pick(logins), code(1)};

        // A package written on PostgreSQL carries its field names in lower case.
        personFields = PackagePersonFields;
        if (chance(30))
            for (QString& f : personFields) f = f.toLower();
        QStringList packageCodes;
        for (int i = r.bounded(10); i > 0; --i) {
            const int levels = 1 + r.bounded(3);
            QString c = code(levels);
            if (chance(8)) c = c.left(2);
            QStringList path;
            for (int k = r.bounded(levels + 2); k >= 0; --k)
                path << (chance(4) ? QString(110, QChar(u'名')) : pick(names));
            packageCodes << c;
            depts << QStringList{c, chance(8) ? "<null>" : path.join('_'), ""};
        }
        for (int i = 1 + r.bounded(30); i > 0; --i) {
            QString dept = "<null>";
            if (chance(70) && !packageCodes.isEmpty()) dept = pick(packageCodes);
            if (chance(5)) dept = "";
            if (chance(5)) dept = code(2);  // not in the department file
            QStringList row = {chance(3) ? "<null>" : id(),
                               chance(5) ? longText : pick(names),
                               pick({"男", "女", " 男 ", "<null>"}),
                               chance(5) ? longText : pick(logins),
                               dept,
                               chance(20) ? "<null>" : "备注'" + QString::number(i),
                               "pw"};
            people << row;
        }
        for (int n = 1; n < 80; ++n)
            if (chance(12)) untick << n;
    }

    void arrange(testhost::Installation& inst) const {
        Connection& db = inst.db();
        PreparedStatement dept(&db,
                               "INSERT INTO CV_DeptInfo(DeptID, DeptName, DeptMemo) "
                               "VALUES(?, ?, '')");
        for (const QStringList& d : storeDepts) {
            if (!inst.scalar("SELECT DeptID FROM CV_DeptInfo WHERE DeptID = " + sqlQuote(d[0]))
                     .isEmpty())
                continue;
            dept.execute({d[0], d[1] == "<null>" ? QVariant() : QVariant(d[1])});
        }
        PreparedStatement person(&db,
                                 "INSERT INTO CV_PersonInfo(PerUUID, PerName, LoginName, PerDept, "
                                 "PrjID) VALUES(?, ?, ?, ?, 3)");
        for (const QStringList& p : storePeople) {
            if (!inst.scalar("SELECT PerUUID FROM CV_PersonInfo WHERE PerUUID = " + sqlQuote(p[0]))
                     .isEmpty())
                continue;
            person.execute({p[0], p[1], p[2] == "<null>" ? QVariant() : QVariant(p[2]), p[3]});
        }
    }

    void writeFiles(const QString& dir) const {
        QDir().mkpath(dir);
        writeDataSetFile(dir + "perinfo.per", personFields, people);
        writeDataSetFile(dir + "deptinfo.per", {"DeptID", "DeptName", "DeptMemo"}, depts);
    }
};

class ImportDifferentialTest : public PackageTest {
public:
    struct Outcome {
        std::int32_t result = 0;
        QStringList people;
        QStringList depts;
        QStringList renames;
    };

    // Installs the case, previews its package, unticks as the user would, and imports with
    // `import`; `during` runs once the import has started (at its first sign of life).
    Outcome run(const Case& c, const std::function<std::int32_t(const QString&)>& import,
                const std::function<void()>& during = {}) {
        const QString dir = packages_.path() + QString("/run%1/").arg(++runs_);
        lastPackage_ = dir;
        c.writeFiles(dir);
        install(Content::Empty);
        c.arrange(inst());
        setPackageVersion(3);
        TCVPerson::ResetLoginNameGenerator();
        Outcome out;
        if (PackageImportProc(dir, &hostWindow) != 1) return out;
        for (int n : c.untick)
            if (n < tree().nodes().size()) tree().toggle(n);
        // An import that never gets to its first person shows no sign of life: the other
        // writer then comes after it.
        bool happened = false;
        QTimer timer;
        timer.setSingleShot(true);
        QObject::connect(&timer, &QTimer::timeout, [&] {
            happened = true;
            during();
        });
        if (during) timer.start(0);
        out.result = import(dir);
        if (during && !happened) {
            timer.stop();
            during();
        }
        out.people = rows("SELECT * FROM CV_PersonInfo ORDER BY PerUUID");
        out.depts = rows("SELECT * FROM CV_DeptInfo ORDER BY DeptID");
        QFile log(inst().logFile());
        if (log.open(QIODevice::ReadOnly))
            for (const QString& line : QString::fromUtf8(log.readAll()).split('\n'))
                if (line.contains("要导入的注册名")) out.renames << line.section('\t', 6);
        return out;
    }

    QTemporaryDir packages_;
    int runs_ = 0;
    QString lastPackage_;
};
CV_BOTH_STYLES(ImportDifferentialTest);

// Window sizes the seeds take in turn: one person a window, a few, and the default.
const int WindowSizes[] = {1, 2, 7, WindowedImport::DefaultWindow};

TEST_P(ImportDifferentialTest, DecidesEveryPersonAsThePersonStoreWould) {
    const int seeds = qEnvironmentVariableIntValue("CV_IMPORT_SEEDS");
    for (quint32 seed = 1; seed <= quint32(seeds > 0 ? seeds : 200); ++seed) {
        const int window = WindowSizes[seed % std::size(WindowSizes)];
        SCOPED_TRACE(QString("seed %1, window %2").arg(seed).arg(window).toStdString());
        const Case c(seed);
        WindowedImport::setDefaultWindow(window);
        // Every other seed the import reads the package itself, in parts, instead of taking
        // the items the preview's plan read.
        const qsizetype planLimit = ImportPreviewPlan::autoPlanLimit();
        if (seed % 2) ImportPreviewPlan::setAutoPlanLimit(0);
        const Outcome fast = run(c, PackageImport);
        ImportPreviewPlan::setAutoPlanLimit(planLimit);
        WindowedImport::setDefaultWindow(WindowedImport::DefaultWindow);
        const Outcome reference = run(c, referenceImport);
        ASSERT_EQ(fast.result, reference.result);
        ASSERT_EQ(fast.people, reference.people);
        ASSERT_EQ(fast.depts, reference.depts);
        ASSERT_EQ(fast.renames, reference.renames);
    }
}

// Another writer stores one of the package's people and takes the department code that the
// import read as free, after the import read the store: the import's writes are refused,
// and those people go on as the per-statement operations would have taken them.
TEST_P(ImportDifferentialTest, AStoreThatChangesDuringTheImportEndsAsThePersonStoreWould) {
    Case c(7);
    c.storeDepts = {{"0001", "甲"}};
    c.storePeople = {};
    c.personFields = PackagePersonFields;
    // In list order: 三 (under 甲), 二 (whose new department the image thinks is 0002), 一.
    c.people = {{"P1", "一", "男", "l1", "00030001", "", ""},
                {"P2", "二", "男", "l2", "0002", "", ""},
                {"P3", "三", "男", "l3", "0001", "", ""}};
    c.depts = {{"0002", "丁", ""}, {"00030001", "乙_丙", ""}, {"0001", "甲", ""}};
    c.untick = {};
    OperationProgress::setShowDelay(0);
    const auto otherWriter = [this] {
        inst().exec("INSERT INTO CV_DeptInfo(DeptID, DeptName, DeptMemo) VALUES('0002', '他', '')");
        inst().exec(
            "INSERT INTO CV_PersonInfo(PerUUID, LoginName, PerDept, PrjID) "
            "VALUES('P2', 'other', '0002', 9)");
    };
    const Outcome changed = run(c, PackageImport, otherWriter);
    OperationProgress::setShowDelay(500);
    // The reference meets the store as it was after the other writer.
    const Outcome reference = run(c, [&](const QString& dir) {
        otherWriter();
        return referenceImport(dir);
    });
    EXPECT_EQ(changed.result, 1);
    EXPECT_EQ(changed.people, reference.people);
    EXPECT_EQ(changed.depts, reference.depts);
}

// On seeded cases, another writer stores some of the package's people (under other login
// names), a login name the package uses, and departments where the import means to create
// its own (the next free top-level code, and a department of a name the package needs) once
// the import has read the store. Each window finds them under the lock and ends as the
// person store's operations would on the store as the other writer left it.
TEST_P(ImportDifferentialTest, ChangesByAnotherWriterDuringTheImportAreFoundUnderTheLock) {
    OperationProgress::setShowDelay(0);
    for (quint32 seed = 300; seed < 360; ++seed) {
        const int window = WindowSizes[seed % std::size(WindowSizes)];
        SCOPED_TRACE(QString("seed %1, window %2").arg(seed).arg(window).toStdString());
        const Case c(seed);
        // Every other seed, the other writer works on the import's own connection, as the
        // host's own work between two windows would.
        const bool sameConnection = seed % 2;
        const auto exec = [&](const QString& sql) {
            Connection* connection = !sameConnection ? &inst().db()
                                     : GetParam() == 1
                                         ? &cvhost::connectionBroker()->serverConnection()
                                         : cvhost::baseConnection();
            Command command(connection);
            command.setCommandText(sql);
            command.execute();
        };
        const auto otherWriter = [&] {
            int n = 0;
            for (const QStringList& p : c.people) {
                if (p[0] == "<null>" || n++ % 3) continue;
                exec(QString("INSERT INTO CV_PersonInfo(PerUUID, LoginName, PrjID) "
                             "SELECT %1, %2, 9 WHERE NOT EXISTS (SELECT 1 FROM "
                             "CV_PersonInfo WHERE PerUUID = %1)")
                         .arg(sqlQuote(p[0]), sqlQuote("other" + QString::number(n))));
            }
            exec(
                "INSERT INTO CV_PersonInfo(PerUUID, LoginName, PrjID) "
                "SELECT 'X-other', 'l2', 9 WHERE NOT EXISTS (SELECT 1 FROM "
                "CV_PersonInfo WHERE PerUUID = 'X-other')");
            QString top = "0000";
            for (const QString& code : inst().rows("SELECT DeptID FROM CV_DeptInfo"))
                if (code.size() == 4 && code > top) top = code;
            const QString next = QString("%1").arg(top.toInt() + 1, 4, 10, QChar('0'));
            for (const auto& [code, name] :
                 {std::pair{next, QString("他")}, std::pair{QString("0099"), QString("技术部")}})
                exec(QString("INSERT INTO CV_DeptInfo(DeptID, DeptName, DeptMemo) "
                             "SELECT %1, %2, '' WHERE NOT EXISTS (SELECT 1 FROM "
                             "CV_DeptInfo WHERE DeptID = %1)")
                         .arg(sqlQuote(code), sqlQuote(name)));
        };
        WindowedImport::setDefaultWindow(window);
        const Outcome changed = run(c, PackageImport, otherWriter);
        WindowedImport::setDefaultWindow(WindowedImport::DefaultWindow);
        const Outcome reference = run(c, [&](const QString& dir) {
            otherWriter();
            return referenceImport(dir);
        });
        ASSERT_EQ(changed.result, reference.result);
        ASSERT_EQ(changed.people, reference.people);
        ASSERT_EQ(changed.depts, reference.depts);
        ASSERT_EQ(changed.renames, reference.renames);
    }
    OperationProgress::setShowDelay(500);
}

// Cancel stops after the current person and answers -1, what is stored stays; the same
// import run again completes it, ending as one uninterrupted import would.
TEST_P(ImportDifferentialTest, ACancelledImportRunAgainEndsAsOneUninterruptedImport) {
    // Windows small enough that the cancel comes in the middle of the people.
    WindowedImport::setDefaultWindow(100);
    Case c(11);
    c.storeDepts = {{"0001", "甲"}};
    c.storePeople = {{"P7", "七", "u7", "0001"}, {"X1", "某", "u3", "0001"}};
    c.personFields = PackagePersonFields;
    c.people.clear();
    c.depts.clear();
    for (int d = 0; d < 40; ++d)
        c.depts << QStringList{QString("0001%1").arg(d + 1, 4, 10, QChar('0')),
                               QString("甲_组%1").arg(d % 7), ""};
    for (int i = 0; i < 3000; ++i)
        c.people << QStringList{QString("P%1").arg(i),
                                QString("人%1").arg(i),
                                "男",
                                QString("u%1").arg(i % 400),
                                c.depts[i % 40][0],
                                "",
                                ""};
    c.untick = {};
    const Outcome whole = run(c, PackageImport);
    ASSERT_EQ(whole.result, 1);

    OperationProgress::setShowDelay(0);
    int rounds = 0;
    const Outcome cancelled = run(c, [&](const QString& dir) {
        // At the first sign of life after some people are done, the user presses Cancel.
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            auto* dialog = qobject_cast<QProgressDialog*>(QApplication::activeModalWidget());
            if (!dialog || dialog->value() <= 0 || rounds++) return;
            QTest::mouseClick(dialog->findChild<QPushButton*>(), Qt::LeftButton);
        });
        poll.start(0);
        return PackageImport(dir);
    });
    OperationProgress::setShowDelay(500);
    EXPECT_EQ(cancelled.result, -1);
    EXPECT_GT(cancelled.people.size(), 2);
    EXPECT_LT(cancelled.people.size(), whole.people.size());

    // Run again in the same installation, as the host does: preview, import.
    ASSERT_EQ(PackageFree(), 1);
    ASSERT_EQ(PackageImportProc(lastPackage_, &hostWindow), 1);
    EXPECT_EQ(PackageImport(lastPackage_), 1);
    EXPECT_EQ(rows("SELECT * FROM CV_PersonInfo ORDER BY PerUUID"), whole.people);
    EXPECT_EQ(rows("SELECT * FROM CV_DeptInfo ORDER BY DeptID"), whole.depts);
    WindowedImport::setDefaultWindow(WindowedImport::DefaultWindow);
}

// The plan of an import foresees, person by person, what the import run right after does on
// the same store: the outcome, the login name stored, the department code, the reason. Planning
// writes nothing and draws nothing: an import after one, two or ten plans ends as the plan said.
TEST_P(ImportDifferentialTest, ThePlanForeseesWhatTheImportDoes) {
    const int seeds = qEnvironmentVariableIntValue("CV_IMPORT_SEEDS");
    for (quint32 seed = 400; seed < 400 + quint32(seeds > 0 ? seeds : 200); ++seed) {
        SCOPED_TRACE(QString("seed %1").arg(seed).toStdString());
        const Case c(seed);
        const int plans = QList<int>{1, 2, 10}[int(seed % 3)];
        QList<AccountRow> planned;
        QStringList storeBefore;
        QStringList storeAfterPlans;
        std::uint32_t seedBefore = 0;
        const Outcome imported = run(c, [&](const QString& dir) {
            const QList<TickedPerson> ticked = TickedPersonsOfFrame();
            const PackageFiles files = LocatePackageFiles(dir, PackageJoin::Import);
            ImportItems items;
            EXPECT_TRUE(files.found());
            EXPECT_EQ(ReadImportItems(files, ticked, items), QString());
            storeBefore = rows("SELECT * FROM CV_PersonInfo ORDER BY PerUUID") +
                          rows("SELECT * FROM CV_DeptInfo ORDER BY DeptID");
            seedBefore = LoginNameSeed();
            for (int n = 0; n < plans; ++n) {
                const WindowedImport::Plan plan =
                    WindowedImport::plan(*TDM_PersonPack::instance(), items.people, items.deptRows);
                planned = AccountOf(ticked, items.people, plan.results, {}, true);
            }
            storeAfterPlans = rows("SELECT * FROM CV_PersonInfo ORDER BY PerUUID") +
                              rows("SELECT * FROM CV_DeptInfo ORDER BY DeptID");
            EXPECT_EQ(LoginNameSeed(), seedBefore);
            return PackageImport(dir);
        });
        ASSERT_EQ(storeAfterPlans, storeBefore);
        if (imported.result == -2) continue;  // nobody ticked: nothing planned either
        auto* account = frame()->findChild<ImportAccount*>(ImportAccount::ImportName);
        ASSERT_NE(account, nullptr);
        const QList<AccountRow>& done = account->rows();
        // The preview's own plan, kept to the user's ticks, says the same.
        auto* shown = frame()->findChild<ImportAccount*>(ImportAccount::PlanName);
        ASSERT_NE(shown, nullptr);
        for (const QList<AccountRow>& plan : {planned, shown->rows()}) {
            ASSERT_EQ(done.size(), plan.size());
            for (qsizetype i = 0; i < done.size(); ++i) {
                SCOPED_TRACE(done[i].perUUID.toStdString());
                EXPECT_EQ(plan[i].perUUID, done[i].perUUID);
                EXPECT_EQ(plan[i].outcome, done[i].outcome);
                EXPECT_EQ(plan[i].loginName, done[i].loginName);
                EXPECT_EQ(plan[i].deptCode, done[i].deptCode);
                EXPECT_EQ(plan[i].reason, done[i].reason);
            }
        }
        if (HasFailure()) return;
    }
}

}  // namespace
}  // namespace cv::test
