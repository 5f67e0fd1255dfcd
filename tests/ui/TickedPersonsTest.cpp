// The ticked people of a check tree and the two text forms handed to the export and import.
#include <gtest/gtest.h>

#include <QObject>
#include <QRandomGenerator>
#include <algorithm>

#include "GetTickedPersons.h"
#include "HostContext.h"
#include "TFramePerson.h"
#include "UiTestSupport.h"

using cv::CheckTree;
using cv::TickedPersonsText;
using namespace uitest;

namespace {

TEST(TickedPersons, TextFormsQuoteItemsSoThatEveryIdStaysExact) {
    struct Case {
        QStringList ids;
        QString form1;
        QString form0;
    };
    const Case cases[] = {
        {{"A", "B", "C"}, "A,B,C", "A','B','C"},
        {{}, "", ""},
        {{"A"}, "A", "A"},
        {{"a b", "c"}, "\"a b\",c", "a b','c"},
        {{"x,y"}, "\"x,y\"", "x,y"},
        {{"say \"hi\""}, "\"say \"\"hi\"\"\"", "say \"hi\""},
        {{"tab\there", "nl\nx"}, "\"tab\there\",\"nl\nx\"", "tab\there','nl\nx"},
        // A single quote is doubled in form 0, so that it cannot end its SQL literal.
        {{"O'Brien", "x') or ('1'='1"},
         "O'Brien,\"x') or ('1'='1\"",
         "O''Brien','x'') or (''1''=''1"},
        {{"", "A"}, "\"\",A", "','A"},
        {{"张三", "李四"}, "张三,李四", "张三','李四"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TickedPersonsText(c.ids, 1), c.form1) << c.ids.join('|').toStdString();
        EXPECT_EQ(TickedPersonsText(c.ids, 0), c.form0) << c.ids.join('|').toStdString();
    }
    EXPECT_THROW(TickedPersonsText({"A"}, 2), std::invalid_argument);
    EXPECT_THROW(cv::GetTickedPersons(-1), std::invalid_argument);
}

TEST(TickedPersons, OnlyTickedPersonNodesAfterTheRootAreListed) {
    CheckTree tree;
    // A root that is a person record is still never listed.
    const int root = person(tree, -1, "根", "ROOT");
    const int d1 = dept(tree, root, "研发部", "0001");
    person(tree, d1, "张三", "P1");
    person(tree, d1, "孤儿", "P0");
    const int d2 = dept(tree, root, "市场部", "0002");
    const int p2 = person(tree, d2, "李四", "P2");
    person(tree, d2, "孤儿", "P0");
    const int odd = tree.nodes().append(d2, "无记录");  // no record
    const int other = tree.nodes().append(d2, "种类2", cv::TreeNodeData{"K2", "2", {}, {}, {}});
    const int second = person(tree, -1, "第二顶层", "TOP2");

    tree.setStateAll(CheckTree::Checked);
    EXPECT_EQ(cv::TickedPersonIds(tree), (QStringList{"P1", "P0", "P2", "P0", "TOP2"}));

    tree.toggle(p2);
    tree.setStateIndex(second, CheckTree::PartiallyChecked);
    tree.setStateIndex(odd, CheckTree::Checked);
    tree.setStateIndex(other, CheckTree::Checked);
    EXPECT_EQ(cv::TickedPersonIds(tree), (QStringList{"P1", "P0", "P0"}));

    tree.toggle(d1);
    tree.toggle(d2);
    tree.toggle(d2);
    EXPECT_TRUE(cv::TickedPersonIds(tree).isEmpty());
    EXPECT_EQ(tree.stateIndex(d2), CheckTree::Unchecked);
    EXPECT_TRUE(cv::TickedPersonIds(CheckTree()).isEmpty());
}

// The texts made from the tree (as listed, and sorted each once) against the text of the
// listed identifiers, on seeded random trees of awkward identifiers (some alike for eight
// units and more, NUL and the highest units, all with one prefix in common), records of other
// kinds and nodes without one, with random ticks.
TEST(TickedPersons, TextOfTheTreeIsTheTextOfItsList) {
    QStringList pool = {
        "P1", "",    "a b",      "x,y",       "O'Brien",  "say \"hi\"",    "张三",         "'",
        ",",  "P10", "abcdefgh", "abcdefgh1", "abcdefgi", "abcdefghijkl2", "abcdefghijkl1"};
    pool << QStringView(u"abcdefgh\0", 9).toString() << QStringView(u"\0", 1).toString()
         << QStringView(u"a\0b", 3).toString() << QString::fromUtf8("\xF0\x9F\x98\x80")
         << QStringView(u"\uFFFF\uFFFF").toString() << QStringView(u"\uFFFFa").toString();
    const QStringList prefixes = {"", "{", "person-000000"};
    for (quint32 seed = 1; seed <= 300; ++seed) {
        QRandomGenerator random(seed);
        const QString prefix = prefixes[seed % 3];
        cv::NodeBuild build;
        QList<int> parents{-1};
        for (int i = 0, n = int(random.bounded(30)); i < n; ++i) {
            const int parent = parents[random.bounded(parents.size())];
            const QString id = prefix + pool[random.bounded(pool.size())];
            switch (random.bounded(4)) {
                case 0:
                    parents << build.add(parent, "部门", build.records().add(id, u"0", {}, {}, {}),
                                         0);
                    break;
                case 1:
                    build.add(parent, "无记录", cv::NodeRecords::None, -1);
                    break;
                default:
                    build.add(parent, "某人", build.records().add(id, u"1", {}, {}, {}), 1);
            }
        }
        CheckTree tree;
        tree.nodes().setNodes(std::move(build));
        for (int node = 0; node < tree.nodes().size(); ++node)
            if (random.bounded(3) == 0) tree.toggle(node);
        QStringList ids = cv::TickedPersonIds(tree);
        for (const int form : {0, 1})
            EXPECT_EQ(cv::TickedPersonsText(tree, form), TickedPersonsText(ids, form))
                << "seed " << seed << ", form " << form;
        std::sort(ids.begin(), ids.end());
        ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
        for (const int form : {0, 1})
            EXPECT_EQ(cv::SortedTickedPersonsText(tree, form), TickedPersonsText(ids, form))
                << "seed " << seed << ", form " << form << ", sorted";
    }
}

TEST(TickedPersons, ReadFromTheFrameRegisteredUnderTheApplication) {
    QObject application;
    cv::installContext(&application, nullptr, nullptr);
    EXPECT_EQ(cv::GetTickedPersons(1), "");

    auto* frame = new cv::TFramePerson;
    ASSERT_TRUE(cv::registerOwnedWidget(cv::TFramePerson::InstanceName, frame));
    CheckTree& tree = *frame->CTDeptPerson;
    const int root = tree.nodes().append(-1, "部门信息");
    const int d1 = dept(tree, root, "研发部", "0001");
    person(tree, d1, "甲", "A");
    person(tree, d1, "乙", "B'1");
    person(tree, root, "丙", "C");
    EXPECT_EQ(cv::GetTickedPersons(0), "") << "nothing ticked yet";
    tree.setStateAll(CheckTree::Checked);
    EXPECT_EQ(cv::GetTickedPersons(1), "A,B'1,C");
    EXPECT_EQ(cv::GetTickedPersons(0), "A','B''1','C");

    // A frame of the same name owned by something else is not seen.
    ASSERT_TRUE(cv::destroyOwnedWidget(cv::TFramePerson::InstanceName));
    cv::TFramePerson elsewhere;
    elsewhere.CTDeptPerson->nodes().append(-1, "部门信息");
    EXPECT_EQ(cv::GetTickedPersons(1), "");
    cv::installContext(nullptr, nullptr, nullptr);
}

}  // namespace
