#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include "HostSettings.h"
#include "PackageTest.h"
#include "PackageTree.h"
#include "TestHost.h"

namespace cv::test {
namespace {

class PackageTreeTest : public ::testing::Test {
protected:
    void SetUp() override { cvhost::Settings::instance().set("packageVersion", "3"); }
    QString dir() const { return inst.packageDir(); }
    QStringList build(const QList<QStringList>& people, const QList<QStringList>& depts) {
        writePackage(dir(), people, depts);
        tree.clear();
        EXPECT_TRUE(BuildPackageTree(dir(), tree));
        return dumpTree(tree);
    }

    testhost::Installation inst;
    CheckTree tree;
};

QStringList person(const QString& id, const QString& dept, const QString& sex = "男") {
    return {id, "name " + id, sex, "login" + id, dept, "<null>", "<null>"};
}

TEST_F(PackageTreeTest, PlacesDepartmentsByCodeAndNamesThemFromTheirPath) {
    struct Case {
        const char* what;
        QList<QStringList> depts;  // DeptID, DeptName (the department path)
        QStringList expected;      // below the root line
    };
    const Case cases[] = {
        {"nested, ancestors missing from the file are made from the path names",
         {{"00020003", "X_Y"}, {"0001", "A"}, {"000200030004", "X_Y_Z"}, {"00020005", "X_W"}},
         {"  A [0001,0,A,,]", "    name p0001 [p0001,1,loginp0001,name p0001,男]",
          "  X [0002,0,X,,]", "    Y [00020003,0,Y,,]",
          "      name p00020003 [p00020003,1,loginp00020003,name p00020003,男]",
          "      Z [000200030004,0,Z,,]",
          "        name p000200030004 [p000200030004,1,loginp000200030004,name p000200030004,男]",
          "    W [00020005,0,W,,]",
          "      name p00020005 [p00020005,1,loginp00020005,name p00020005,男]"}},
        {"fewer names than levels: the department stands at the depth of its last name",
         {{"000300010001", "P_Q"}},
         {"  P [0003,0,P,,]", "    Q [00030001,0,Q,,]",
          "      name p000300010001 [p000300010001,1,loginp000300010001,name p000300010001,男]"}},
        {"names beyond the code's levels are ignored; empty names count",
         {{"0004", "R_S_T"}, {"000500060007", "M__N"}},
         {"  R [0004,0,R,,]", "    name p0004 [p0004,1,loginp0004,name p0004,男]",
          "  M [0005,0,M,,]", "     [00050006,0,,,]", "      N [000500060007,0,N,,]",
          "        name p000500060007 [p000500060007,1,loginp000500060007,name p000500060007,男]"}},
        {"a code shorter than four characters or an empty path: people under the root",
         {{"ab", "U_V"}, {"0006", ""}},
         {"  name p0006 [p0006,1,loginp0006,name p0006,男]",
          "  name pab [pab,1,loginpab,name pab,男]"}},
        {"a code holding a quote",
         {{"0'07", "Q'uote"}},
         {"  Q'uote [0'07,0,Q'uote,,]", "    name p0'07 [p0'07,1,loginp0'07,name p0'07,男]"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QList<QStringList> people;
        for (const QStringList& d : c.depts) people << person("p" + d[0], d[0]);
        QStringList expected = {"部门信息 [,0,,,]"};
        expected << c.expected;
        EXPECT_EQ(build(people, c.depts), expected);
    }
}

TEST_F(PackageTreeTest, ShowsPeopleUnderTheirDepartmentAndNormalisesSex) {
    const QStringList lines = build(
        {
            person("root1", "<null>", " 男\t"),
            person("gone", "0099"),  // no department row: not shown
            person("empty", ""),     // an empty code is not NULL: not shown
            person("f", "0001", "女"),
            person("x", "0001", "F"),
            person("e", "0001", ""),
            person("n", "0001", "<null>"),
            person("m", "0001", "男"),
            person("root2", "<null>", "男 男"),
        },
        {{"0001", "A"}});
    EXPECT_EQ(lines, QStringList({
                         "部门信息 [,0,,,]",
                         "  name root1 [root1,1,loginroot1,name root1,男]",
                         "  name root2 [root2,1,loginroot2,name root2,女]",
                         "  A [0001,0,A,,]",
                         "    name f [f,1,loginf,name f,女]",
                         "    name x [x,1,loginx,name x,女]",
                         "    name e [e,1,logine,name e,女]",
                         "    name n [n,1,loginn,name n,女]",
                         "    name m [m,1,loginm,name m,男]",
                     }));
    // Pictures: 0 for the root and departments, 1 (also when selected) for people.
    EXPECT_EQ(NodeTree::imageIndex(tree.firstNode()), 0);
    QTreeWidgetItem* dept = findNode(tree, "0001", "0");
    EXPECT_EQ(NodeTree::imageIndex(dept), 0);
    EXPECT_EQ(NodeTree::imageIndex(dept->child(0)), 1);
    EXPECT_EQ(NodeTree::selectedIndex(dept->child(0)), 1);
    EXPECT_TRUE(dept->isExpanded());
}

TEST_F(PackageTreeTest, LeavesTheTreeEmptyWhenThePackageCannotBeRead) {
    const QString people = dir() + "perinfo.per";
    const QString depts = dir() + "deptinfo.per";
    struct Case {
        const char* what;
        std::function<void()> spoil;
        bool throws;  // the files load but a column the tree needs is missing
    };
    auto write = [](const QString& path, const QByteArray& bytes) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
    };
    const Case cases[] = {
        {"person file missing", [&] { QFile::remove(people); }, false},
        {"department file missing", [&] { QFile::remove(depts); }, false},
        {"department file not XML", [&] { write(depts, "\x01\x02 not xml"); }, false},
        {"person file without PerName",
         [&] {
             writeDataSetFile(people, {"PerUUID", "PerSex", "LoginName", "PerDept"},
                              {{"p", "男", "l", "0001"}});
         },
         true},
        {"department file without DeptName",
         [&] { writeDataSetFile(depts, {"DeptID"}, {{"0001"}}); }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        writePackage(dir(), {person("p", "0001"), person("q", "<null>")}, {{"0001", "A"}});
        tree.appendNode(nullptr, "left over");
        c.spoil();
        if (c.throws) {
            EXPECT_ANY_THROW(BuildPackageTree(dir(), tree));
        } else {
            EXPECT_FALSE(BuildPackageTree(dir(), tree));
        }
        EXPECT_EQ(tree.nodeCount(), 0);
        EXPECT_FALSE(tree.inUpdate());
    }
}

}  // namespace
}  // namespace cv::test
