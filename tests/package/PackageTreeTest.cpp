#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include "DataPacket.h"
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
        tree.nodes().clear();
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
    const NodeModel& nodes = tree.nodes();
    EXPECT_EQ(nodes.image(0), 0);
    const int dept = findNode(tree, "0001", "0");
    EXPECT_EQ(nodes.image(dept), 0);
    EXPECT_EQ(nodes.image(dept + 1), 1);
    EXPECT_EQ(nodes.selectedImage(dept + 1), 1);
    EXPECT_TRUE(tree.isOpen(dept));
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
        // A department deeper than any installation's, by its code or by its path's names
        // under a code that does not end on a level: refused, not built into a chain of nodes
        // too deep to free.
        {"a department 5,000 levels deep by its code",
         [&] {
             writeDataSetFile(depts, {"DeptID", "DeptName"},
                              {{QString(20000, u'1'), QStringList(5000, "d").join('_')}});
         },
         true},
        {"a department 5,000 levels deep by its path",
         [&] {
             writeDataSetFile(depts, {"DeptID", "DeptName"}, {{"000100010", QString(4999, u'_')}});
         },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        writePackage(dir(), {person("p", "0001"), person("q", "<null>")}, {{"0001", "A"}});
        tree.nodes().append(-1, "left over");
        c.spoil();
        if (c.throws) {
            EXPECT_ANY_THROW(BuildPackageTree(dir(), tree));
        } else {
            EXPECT_FALSE(BuildPackageTree(dir(), tree));
        }
        EXPECT_EQ(tree.nodes().size(), 0);
    }
}

// The tree with everything a node carries: text, record, pictures, the person's row in the
// file, whether it is open.
QStringList fullDump(const CheckTree& tree) {
    QStringList lines = dumpTree(tree);
    const NodeModel& nodes = tree.nodes();
    for (int node = 0; node < nodes.size(); ++node) {
        lines[node] += QString(" %1/%2 row %3 %4")
                           .arg(nodes.image(node))
                           .arg(nodes.selectedImage(node))
                           .arg(nodes.sourceRow(node))
                           .arg(tree.isOpen(node) ? "open" : "closed");
    }
    return lines;
}

// Seeded random package contents: codes of every length (shorter than a level, odd, deep),
// repeated, holding quotes; paths with fewer or more names than the code has levels, empty
// names and empty paths; people under codes with and without a row, with NULL and empty
// departments; now and then a column missing.
struct RandomPackage {
    RowSet depts;
    RowSet people;

    explicit RandomPackage(quint32 seed) {
        QRandomGenerator random(seed);
        const auto pick = [&random](const QStringList& from) {
            return from[int(random.bounded(qsizetype(from.size())))];
        };
        const auto text = [](const QString& value) {
            return value == "<null>" ? QVariant() : QVariant(value);
        };
        const QStringList segments = {"0001", "0002", "0003", "0'01", "ab", "1", "00010"};
        const QStringList names = {"A", "B", "", "总部", "C'D", "A_B", "_", "X_Y_Z"};
        QStringList codes;
        const int deptCount = int(random.bounded(20));
        for (int i = 0; i < deptCount; ++i) {
            QString code = pick(segments);
            while (code.size() < 20 && random.bounded(2)) code += pick(segments);
            if (!codes.isEmpty() && random.bounded(5) == 0) code = pick(codes);  // repeated
            codes << code;
        }
        QStringList deptFields = {"DeptID", "DeptName", "DeptMemo"};
        QStringList personFields = PackagePersonFields;
        if (random.bounded(12) == 0) deptFields.removeAt(int(random.bounded(2)));
        if (random.bounded(12) == 0) personFields.removeAt(int(random.bounded(5)));
        for (const QString& field : deptFields)
            depts.fields << FieldDef{field, FieldType::String, 100};
        for (const QString& field : personFields)
            people.fields << FieldDef{field, FieldType::String, 100};
        for (const QString& code : codes) {
            QStringList path;
            const int levels = int(random.bounded(5));
            for (int l = 0; l < levels; ++l) path << pick(names);
            const QVariantList all = {code, path.join('_'), ""};
            Row row;
            for (const QString& field : deptFields)
                row << all[QStringList({"DeptID", "DeptName", "DeptMemo"}).indexOf(field)];
            depts.rows << row;
        }
        const int personCount = int(random.bounded(30));
        for (int i = 0; i < personCount; ++i) {
            const QString dept = codes.isEmpty() || random.bounded(4) == 0
                                     ? pick({"<null>", "", "9999", "<null>"})
                                     : pick(codes);
            const QStringList all = {QString("p%1").arg(i),
                                     pick({"甲", "乙", "<null>"}),
                                     pick({"男", " 男", "女", "<null>"}),
                                     "login",
                                     dept,
                                     "<null>",
                                     "pw"};
            Row row;
            for (const QString& field : personFields)
                row << text(all[PackagePersonFields.indexOf(field)]);
            people.rows << row;
        }
    }
};

// The files read as compact tables with the people grouped in one pass build the tree that
// the datasets with a filter per department build, and fail where they fail.
TEST_F(PackageTreeTest, GroupedPeopleBuildTheTreeOfTheFilters) {
    int nodes = 0;
    int failures = 0;
    for (quint32 seed = 1; seed <= 400 && !HasFailure(); ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        const RandomPackage package(seed);
        writeDataPacket(dir() + "deptinfo.per", package.depts);
        writeDataPacket(dir() + "perinfo.per", package.people);
        QStringList dumps[2];
        bool threw[2] = {false, false};
        for (const PackagePeople how : {PackagePeople::Filtered, PackagePeople::Grouped}) {
            CheckTree built;
            const int at = how == PackagePeople::Grouped;
            try {
                EXPECT_TRUE(BuildPackageTreeWith(dir(), built, how));
            } catch (const DbError&) {
                threw[at] = true;
            }
            dumps[at] = fullDump(built);
        }
        EXPECT_EQ(threw[1], threw[0]);
        EXPECT_EQ(dumps[1], dumps[0]);
        nodes += int(dumps[0].size());
        failures += threw[0];
    }
    EXPECT_GT(nodes, 4000);
    EXPECT_GT(failures, 10);
}

}  // namespace
}  // namespace cv::test
