// A plan kept current while the user ticks is the plan made afresh: on seeded random
// installations, packages and sequences of ticks (people unticked and ticked again anywhere,
// at the front, at the end), each re-plan equals a new session's plan of the same people,
// and re-plans only from the first person whose tick changed; the login names left to be
// made when asked for are the names a plan makes at once.
#include <QRandomGenerator>

#include "ImportPlanSession.h"
#include "StoreTest.h"

namespace cv::test {
namespace {

class ImportPlanSessionTest : public StoreTest {};
CV_BOTH_STYLES(ImportPlanSessionTest);

QStringList described(const WindowedImport::Plan& plan) {
    QStringList lines;
    for (const WindowedImport::Result& r : plan.results)
        lines << QString("%1|%2|%3|%4").arg(int(r.outcome)).arg(r.loginName, r.deptCode, r.reason);
    for (const DeptPathPlan::NewDept& d : plan.creates) lines << "dept " + d.code + "|" + d.name;
    lines << QString("counts %1 %2 %3 %4 %5")
                 .arg(plan.counts.inserted)
                 .arg(plan.counts.renamed)
                 .arg(plan.counts.present)
                 .arg(plan.counts.notStored)
                 .arg(plan.counts.depts);
    return lines;
}

TEST_P(ImportPlanSessionTest, PlansKeptCurrentEqualPlansMadeAfresh) {
    for (quint32 seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE(seed);
        QRandomGenerator r(seed);
        exec("DELETE FROM CV_PersonInfo");
        exec("DELETE FROM CV_DeptInfo");
        const QStringList names = {"甲", "乙", "丙", "组"};
        addDept("0001", "甲");
        if (r.bounded(2)) addDept("00010001", "乙");
        for (int i = r.bounded(5); i > 0; --i)
            addPerson("S" + QString::number(i), "u" + QString::number(r.bounded(6)));

        std::vector<ImportItem> people;
        for (int i = 0; i < 40; ++i) {
            ImportItem item;
            item.person.PerUUID = QString("P%1").arg(r.bounded(45));  // some repeat, some stored
            if (r.bounded(8) == 0) item.person.PerUUID = "S1";
            item.person.PerName = "人" + QString::number(i);
            item.person.LoginName = "u" + QString::number(r.bounded(8));
            item.person.PerDept = "000" + QString::number(1 + r.bounded(3)) + "0001";
            item.deptPath = names[r.bounded(3)] + "_" + names[r.bounded(4)];
            if (r.bounded(10) == 0) item.unreadable = QStringLiteral("人员包中此人没有 PerUUID");
            people.push_back(item);
        }
        std::vector<ImportItem> deptRows(1);
        deptRows[0].kind = ImportItem::Kind::DeptRow;
        deptRows[0].deptPath = "丙_组_甲";
        deptRows[0].deptCode = "000100010001";

        ImportPlanSession kept(module(), people, deptRows);
        std::vector<bool> ticked(people.size(), true);
        for (int round = 0; round < 12; ++round) {
            if (round > 0) {
                // Untick or tick again a few people: anywhere, the first, the last.
                const int changes = 1 + r.bounded(3);
                for (int c = 0; c < changes; ++c) {
                    const int at = round % 4 == 1   ? 0
                                   : round % 4 == 2 ? int(people.size()) - 1
                                                    : r.bounded(int(people.size()));
                    ticked[std::size_t(at)] = !ticked[std::size_t(at)];
                }
            }
            std::vector<qsizetype> order;
            for (std::size_t i = 0; i < people.size(); ++i)
                if (ticked[i]) order.push_back(qsizetype(i));
            SCOPED_TRACE(round);
            ImportPlanSession fresh(module(), people, deptRows);
            const WindowedImport::Plan& made = fresh.plan(order);
            // Every other round only decides, leaving the names to be asked for one by one;
            // the next round names everybody, re-planned or not.
            if (round % 2) {
                kept.decide(order);
                for (qsizetype place = 0; place < qsizetype(order.size()); ++place)
                    ASSERT_EQ(kept.loginNameOf(place), made.results[place].loginName) << place;
            }
            ASSERT_EQ(described(round % 2 ? kept.named() : kept.plan(order)), described(made));
            ASSERT_LE(kept.lastPlanned(), qsizetype(order.size()));
        }
        // Planning the same ticks again plans nobody.
        std::vector<qsizetype> order;
        for (std::size_t i = 0; i < people.size(); ++i)
            if (ticked[i]) order.push_back(qsizetype(i));
        kept.plan(order);
        EXPECT_EQ(kept.lastPlanned(), 0);
    }
}

// The store refuses one of the plan's two reads (a column gone): the session answers the
// refusal, where it would otherwise wait for ever on its other thread, which waits for what
// the refused read was to give. Once the column is back, the same session plans everybody.
TEST_P(ImportPlanSessionTest, AReadTheStoreRefusesIsAnsweredAfterTheOtherThreadEnds) {
    addDept("0001", "甲");
    addPerson("S1", "u1");
    std::vector<ImportItem> people(300);
    for (std::size_t i = 0; i < people.size(); ++i) {
        people[i].person.PerUUID = QString("P%1").arg(i);
        people[i].person.LoginName = QString("u%1").arg(i % 7);
        people[i].person.PerDept = "00010001";
        people[i].deptPath = "甲_乙";
    }
    for (const auto& [table, column] :
         {std::pair{"CV_DeptInfo", "DeptName"}, std::pair{"CV_PersonInfo", "LoginName"}}) {
        SCOPED_TRACE(table);
        exec(QString("ALTER TABLE %1 RENAME COLUMN %2 TO Gone").arg(table, column));
        EXPECT_THROW(ImportPlanSession(module(), people, {}), DbError);
        exec(QString("ALTER TABLE %1 RENAME COLUMN Gone TO %2").arg(table, column));
    }
    ImportPlanSession session(module(), people, {});
    std::vector<qsizetype> all(people.size());
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = qsizetype(i);
    const WindowedImport::Counts counts = session.plan(all).counts;
    EXPECT_EQ(counts.inserted + counts.renamed, 300);
}

}  // namespace
}  // namespace cv::test
