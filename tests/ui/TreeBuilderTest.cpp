// The department-person tree built from real SQLite installations, in both variants.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "CheckTree.h"
#include "ConnectionBroker.h"
#include "Database.h"
#include "HostContext.h"
#include "RandomPersonnel.h"
#include "TDM_PersonPack.h"
#include "TFramePerson.h"
#include "TestHost.h"
#include "TreeBuilder.h"
#include "UiTestSupport.h"

using cv::CheckTree;
using testhost::Installation;
using namespace uitest;

namespace {

struct Person {
    QString uuid;
    QString name;
    std::optional<QString> dept;  // nullopt: NULL
    QString login = {};
    QString sex = {};
};

void fill(Installation& inst, const QStringList& deptIds, const QList<Person>& people) {
    for (const QString& id : deptIds) {
        inst.exec("INSERT INTO CV_DeptInfo (DeptID, DeptName) VALUES (" + cv::sqlQuote(id) + ", " +
                  cv::sqlQuote("D" + id) + ")");
    }
    for (const Person& p : people) {
        inst.exec(
            "INSERT INTO CV_PersonInfo (PerUUID, PerName, PerSex, LoginName, PerDept) VALUES (" +
            cv::sqlQuote(p.uuid) + ", " + cv::sqlQuote(p.name) + ", " + cv::sqlQuote(p.sex) + ", " +
            cv::sqlQuote(p.login) + ", " +
            (p.dept ? cv::sqlQuote(*p.dept) : QStringLiteral("NULL")) + ")");
    }
}

QString buildLocal(Installation& inst) {
    CheckTree tree;
    EXPECT_TRUE(cv::BuildDeptPersonTree(tree, &inst.db()));
    return describe(tree);
}

QString buildNetworked(Installation& inst) {
    cv::ConnectionBroker broker(cv::Connection::open(inst.target()));
    CheckTree tree;
    EXPECT_TRUE(cv::BuildDeptPersonTree(tree, &broker));
    return describe(tree);
}

TEST(TreeBuilder, DepartmentsArePlacedByCodeLevelAndRowOrder) {
    struct Case {
        const char* name;
        QStringList depts;
        QList<Person> people;
        QString expected;
    };
    const Case cases[] = {
        {"no departments: the people without one under the root",
         {},
         {{"P1", "n1", std::nullopt}, {"P2", "e1", ""}, {"P3", "x1", "0009"}},
         "部门信息{e1,n1}"},
        {"a shallower department climbs as many levels as it is shallower",
         {"0001", "00010001", "000100010001", "0002"},
         {},
         "部门信息{D0001{D00010001{D000100010001}},D0002}"},
        {"equal levels are siblings without a shared prefix; a deeper one is a direct child",
         {"0001", "00010001", "00020001", "0003", "000300030004"},
         {},
         "部门信息{D0001{D00010001,D00020001},D0003{D000300030004}}"},
        {"a code shorter than four characters is a second top-level node",
         {"0", "0001", "0002"},
         {},
         "部门信息;D0{D0001,D0002}"},
        {"a climb past the top of the tree ends under the root",
         {"0001", "000100010001", "1", "1001"},
         {},
         "部门信息{D0001{D000100010001},D1{D1001}}"},
        {"a person without department is under the root and every department",
         {"0001", "00010001", "0002"},
         {{"P1", "n", std::nullopt}, {"P2", "m", "0002"}},
         "部门信息{n,D0001{n,D00010001{n}},D0002{m,n}}"},
        {"people by name before the sub-departments; 111111111111111111 never",
         {"0001", "00010001"},
         {{"P1", "b", "0001"},
          {"P2", "a", "0001"},
          {"111111111111111111", "hidden", "0001"},
          {"P3", "c", "00010001"}},
         "部门信息{D0001{a,b,D00010001{c}}}"},
        {"a quote in a code stays inside its literal",
         {"00'1"},
         {{"P1", "q", "00'1"}},
         "部门信息{D00'1{q}}"},
    };
    for (const Case& c : cases) {
        Installation inst;
        fill(inst, c.depts, c.people);
        EXPECT_EQ(buildLocal(inst), c.expected) << c.name;
        EXPECT_EQ(buildNetworked(inst), c.expected) << c.name;
    }
}

// A subtree as lines, siblings in tree order except that people of equal name may come in
// either order: the database orders them by name alone.
void dumpNode(const cv::NodeModel& nodes, int node, const QString& indent, QStringList& out) {
    out << indent + nodes.text(node) + " " + recordText(nodes, node);
    struct Child {
        bool person;
        QString text;
        QStringList lines;
    };
    QList<Child> children;
    for (int child = node + 1; child < nodes.endOf(node); child = nodes.endOf(child)) {
        Child entry{nodes.isPerson(child), nodes.text(child), {}};
        dumpNode(nodes, child, indent + "  ", entry.lines);
        children << entry;
    }
    for (auto run = children.begin(); run != children.end();) {
        auto end = run + 1;
        while (run->person && end != children.end() && end->person && end->text == run->text) ++end;
        std::sort(run, end, [](const Child& a, const Child& b) { return a.lines < b.lines; });
        run = end;
    }
    for (const Child& child : children) out << child.lines;
}

QStringList dump(const CheckTree& tree) {
    QStringList out;
    const cv::NodeModel& nodes = tree.nodes();
    for (int top = 0; top < nodes.size(); top = nodes.endOf(top)) dumpNode(nodes, top, "", out);
    return out;
}

// Reading the people once and grouping them in memory gives the tree that one statement
// per department gives, on seeded random installations, in both variants.
TEST(TreeBuilder, OneReadBuildsTheTreeOfTheStatementsPerDepartment) {
    Installation inst;
    cv::ConnectionBroker broker(cv::Connection::open(inst.target()));
    const int seeds = testdb::onPostgres() ? 150 : 300;
    int nodes = 0;
    for (quint32 seed = 1; seed <= quint32(seeds) && !::testing::Test::HasFailure(); ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        testhost::RandomPersonnel(seed).store(inst);
        CheckTree reference;
        CheckTree oneRead;
        ASSERT_TRUE(
            cv::BuildDeptPersonTree(reference, &inst.db(), cv::PersonReading::PerDepartment));
        ASSERT_TRUE(cv::BuildDeptPersonTree(oneRead, &inst.db()));
        EXPECT_EQ(dump(oneRead), dump(reference)) << "local";
        nodes += reference.nodes().size();
        ASSERT_TRUE(cv::BuildDeptPersonTree(reference, &broker, cv::PersonReading::PerDepartment));
        ASSERT_TRUE(cv::BuildDeptPersonTree(oneRead, &broker));
        EXPECT_EQ(dump(oneRead), dump(reference)) << "networked";
    }
    EXPECT_GT(nodes, seeds * 10);
}

TEST(TreeBuilder, NetworkedVariantAlsoHidesTheSecondReservedPerson) {
    Installation inst;
    fill(inst, {"0001"},
         {{"111111111111111111", "一", std::nullopt},
          {"222222222222222222", "二", std::nullopt},
          {"P3", "三", "0001"}});
    EXPECT_EQ(buildLocal(inst), "部门信息{二,D0001{三,二}}");
    EXPECT_EQ(buildNetworked(inst), "部门信息{D0001{三}}");
}

TEST(TreeBuilder, NodesCarryTheirRecordsAndPictures) {
    Installation inst;
    fill(inst, {"0001"},
         {{"P1", "张三", "0001", "zhangsan", " 男 "}, {"P2", "无名", std::nullopt}});
    CheckTree tree;
    tree.nodes().append(-1, "旧节点");
    ASSERT_TRUE(cv::BuildDeptPersonTree(tree, &inst.db()));
    EXPECT_EQ(describe(tree), "部门信息{无名,D0001{张三,无名}}");

    // ID|Kind|NameOrLogin|PersonName|Sex pictures normal/selected; a NULL reads as empty.
    const cv::NodeModel& nodes = tree.nodes();
    EXPECT_EQ(recordText(nodes, 0), "no record 0/0");
    EXPECT_EQ(recordText(nodes, nodeNamed(tree, "D0001")), "0001|0|D0001|| 0/0");
    EXPECT_EQ(recordText(nodes, nodeNamed(tree, "张三")), "P1|1|zhangsan|张三| 男  1/1");
    EXPECT_EQ(recordText(nodes, nodeNamed(tree, "无名")), "P2|1||无名| 1/1");
    // Collapsed, and no state set.
    bool anyOpen = false;
    bool anyState = false;
    nodes.forEachNode([&](int node, int) {
        anyOpen |= tree.isOpen(node);
        anyState |= nodes.state(node) != cv::NodeModel::NeverSet;
    });
    EXPECT_FALSE(anyOpen);
    EXPECT_FALSE(anyState);
}

TEST(TreeBuilder, StatementsAreTheHostsOwn) {
    EXPECT_EQ(cv::LocalPersonTreeSql("0001"),
              "Select * from CV_PersonInfo where (PerDept = '0001' or PerDept Is Null) and "
              "(PerUUID <> '111111111111111111')  Order by PerName");
    EXPECT_EQ(cv::NetworkedPersonTreeSql(""),
              "Select * from CV_PersonInfo where (PerDept = '' or PerDept Is Null) and "
              "(PerUUID <> '111111111111111111') and (PerUUID <> '222222222222222222') Order by "
              "PerName");
}

TEST(TreeBuilder, FailingQueriesThrowAndKeepWhatWasBuilt) {
    Installation inst;
    fill(inst, {"0001"}, {{"P1", "甲", std::nullopt}});
    CheckTree tree;
    tree.nodes().append(-1, "旧节点");

    // The department query fails before anything is cleared.
    inst.exec("ALTER TABLE CV_DeptInfo RENAME TO Gone_DeptInfo");
    EXPECT_THROW(cv::BuildDeptPersonTree(tree, &inst.db()), cv::DbError);
    EXPECT_EQ(describe(tree), "旧节点");
    inst.exec("ALTER TABLE Gone_DeptInfo RENAME TO CV_DeptInfo");

    // A person query fails after the root was added: the root stays.
    inst.exec("ALTER TABLE CV_PersonInfo RENAME TO Gone_PersonInfo");
    EXPECT_THROW(cv::BuildDeptPersonTree(tree, &inst.db()), cv::DbError);
    EXPECT_EQ(describe(tree), "部门信息");
    cv::ConnectionBroker broker(cv::Connection::open(inst.target()));
    EXPECT_THROW(cv::BuildDeptPersonTree(tree, &broker), cv::DbError);

    EXPECT_THROW(cv::BuildDeptPersonTree(tree, static_cast<cv::Connection*>(nullptr)), cv::DbError);
    EXPECT_THROW(cv::BuildDeptPersonTree(tree, static_cast<cv::ConnectionBroker*>(nullptr)),
                 cv::DbError);
}

TEST(TreeBuilder, FrameLoadsTheVariantOfTheWorkingStyle) {
    for (std::uint8_t style : {std::uint8_t(2), std::uint8_t(1)}) {
        Installation inst(Installation::Content::Empty, style);
        fill(inst, {"0001"}, {{"222222222222222222", "二", "0001"}, {"P1", "一", "0001"}});
        cv::installContext(inst.application(), nullptr, nullptr);
        ASSERT_TRUE(cv::TDM_PersonPack::PrepareStore()) << int(style);
        cv::TFramePerson frame;
        EXPECT_TRUE(frame.LoadFromDatabase());
        EXPECT_EQ(describe(*frame.CTDeptPerson),
                  style == 2 ? "部门信息{D0001{一,二}}" : "部门信息{D0001{一}}");
        cv::installContext(nullptr, nullptr, nullptr);
    }
}

}  // namespace
