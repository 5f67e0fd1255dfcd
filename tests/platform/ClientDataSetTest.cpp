// Client datasets: providers, cursor, editing, filters, locate and index order.
#include <QElapsedTimer>
#include <QSqlQuery>

#include "ClientDataSet.h"
#include "PlatformTest.h"

namespace cv::test {
namespace {

using ClientDataSetTest = PlatformTest;

// People in storage order: id, name, department (null where not given).
ClientDataSet people() {
    RowSet data{{{"PerUUID", FieldType::String, 40},
                 {"PerName", FieldType::String, 40},
                 {"PerDept", FieldType::String, 40}},
                {}};
    const struct {
        const char* id;
        const char* name;
        std::optional<QString> dept;
    } rows[] = {{"p1", "Zed", std::nullopt}, {"p2", "Amy", "0001"}, {"p3", "Bob", ""},
                {"p4", "Amy", "0001"},       {"p5", "Cy", "it's"},  {"P1", "Dee", "0002"}};
    for (const auto& r : rows) {
        data.rows.append({QString(r.id), QString(r.name), r.dept ? QVariant(*r.dept) : QVariant()});
    }
    ClientDataSet set("people");
    set.setData(data);
    return set;
}

// The ids of the visible rows, walking the cursor from the first.
QStringList visibleIds(ClientDataSet& set) {
    QStringList ids;
    for (set.first(); !set.eof(); set.next()) ids << set.text("PerUUID");
    return ids;
}

TEST_F(ClientDataSetTest, LocalProviderCopiesTheRowsOfItsSource) {
    execute("INSERT INTO CV_DeptInfo VALUES ('0001', 'A', NULL), ('0002', 'B', '')");
    Query share(store_.get());
    DataSetProvider provider(&share);
    ClientDataSet copy("ClientDstDept");
    copy.setLocalProvider(&provider);
    share.setCommandText("SELECT DeptID, DeptName, DeptMemo FROM CV_DeptInfo ORDER BY DeptID");
    copy.open();
    EXPECT_FALSE(share.active());
    QStringList ids;
    for (copy.first(); !copy.eof(); copy.next()) ids << copy.text("deptid");
    EXPECT_EQ(ids, (QStringList{"0001", "0002"}));
    copy.first();
    EXPECT_TRUE(copy.isNull("DeptMemo"));
    copy.next();
    EXPECT_FALSE(copy.isNull("DeptMemo"));

    ClientDataSet target("CdsExportDept");
    target.copyDataFrom(copy);
    EXPECT_TRUE(target.active());
    EXPECT_EQ(target.fields(), copy.fields());
    EXPECT_EQ(target.recordCount(), 2);

    ClientDataSet orphan("orphan");
    EXPECT_THROW(orphan.open(), DbError);
}

TEST_F(ClientDataSetTest, EditingChecksFieldsStateAndTypes) {
    ClientDataSet set = people();
    set.first();
    EXPECT_THROW(set.setValue("PerName", "x"), DbError);  // not in edit state
    set.edit();
    EXPECT_THROW(set.setValue("NoSuchField", "x"), DbError);
    set.setValue("pername", "Zoe");
    set.setValue("PerDept", QVariant());
    set.post();
    EXPECT_EQ(set.text("PerName"), "Zoe");
    EXPECT_TRUE(set.isNull("PerDept"));
    EXPECT_TRUE(set.pendingInserts().rows.isEmpty());

    RowSet typed{{{"N", FieldType::Integer, 0}, {"B", FieldType::Boolean, 0}}, {}};
    ClientDataSet numbers("numbers");
    numbers.setData(typed);
    numbers.append();
    numbers.setValue("N", "42");
    numbers.setValue("B", 1);
    EXPECT_THROW(numbers.setValue("N", "4x2"), DbError);
    numbers.post();
    EXPECT_EQ(numbers.value("N"), QVariant(qlonglong(42)));
    EXPECT_EQ(numbers.value("B"), QVariant(true));
    EXPECT_EQ(numbers.pendingInserts().rows.size(), 1);

    set.last();
    set.next();
    EXPECT_TRUE(set.eof());
    EXPECT_THROW(set.value("PerName"), DbError);
    EXPECT_THROW(set.edit(), DbError);
    set.close();
    EXPECT_THROW(set.append(), DbError);
}

TEST_F(ClientDataSetTest, FiltersSelectNullOrExactText) {
    const struct {
        QString filter;
        QStringList ids;
    } cases[] = {
        {"PerDept=NULL", {"p1"}},
        {"perdept = null", {"p1"}},
        {"PerDept='0001'", {"p2", "p4"}},
        {"PerDept=''", {"p3"}},
        {"PerDept='it''s'", {"p5"}},
        {"PerDept='0009'", {}},
        {"", {"p1", "p2", "p3", "p4", "p5", "P1"}},
    };
    ClientDataSet set = people();
    for (const auto& c : cases) {
        set.setFilter(c.filter);
        EXPECT_EQ(visibleIds(set), c.ids) << c.filter.toStdString();
        EXPECT_EQ(set.recordCount(), c.ids.size());
    }
    for (const char* bad : {"PerDept<>'x'", "PerDept='a' and PerName='b'", "PerDept=1",
                            "PerDept='open", "Missing='x'", "PerDept"}) {
        EXPECT_THROW(set.setFilter(bad), DbError) << bad;
    }
    set.setFilter("PerDept='0001'");
    set.setFiltered(false);
    EXPECT_EQ(set.recordCount(), 6);
}

TEST_F(ClientDataSetTest, IndexOrdersByTextStablyAndCombinesWithFilter) {
    ClientDataSet set = people();
    set.setIndexFieldNames("PerName");
    EXPECT_EQ(visibleIds(set), (QStringList{"p2", "p4", "p3", "p5", "P1", "p1"}));
    set.setIndexFieldNames("PerName;PerUUID");
    set.setFilter("PerDept='0001'");
    EXPECT_EQ(visibleIds(set), (QStringList{"p2", "p4"}));
    set.setIndexFieldNames("PerDept;PerName");
    set.setFilter("");
    // A null orders as the empty text; equal keys keep storage order.
    EXPECT_EQ(visibleIds(set), (QStringList{"p3", "p1", "p2", "p4", "P1", "p5"}));
    EXPECT_THROW(set.setIndexFieldNames("Nope"), DbError);
}

TEST_F(ClientDataSetTest, LocateFindsExactTextInTheVisibleRows) {
    ClientDataSet set = people();
    EXPECT_TRUE(set.locate("PerUUID", "P1"));
    EXPECT_EQ(set.text("PerName"), "Dee");
    EXPECT_TRUE(set.locate("peruuid", "p1"));
    EXPECT_EQ(set.text("PerName"), "Zed");
    EXPECT_FALSE(set.locate("PerUUID", "p9"));
    EXPECT_EQ(set.text("PerName"), "Zed");   // a miss leaves the cursor
    EXPECT_TRUE(set.locate("PerDept", ""));  // p1's null is not an empty text
    EXPECT_EQ(set.text("PerUUID"), "p3");
    EXPECT_THROW(set.locate("Nope", "x"), DbError);

    set.setIndexFieldNames("PerUUID");
    EXPECT_TRUE(set.locate("PerName", "Amy"));
    EXPECT_EQ(set.text("PerUUID"), "p2");
    set.next();
    EXPECT_EQ(set.text("PerUUID"), "p3");
    set.setFilter("PerDept='0001'");
    EXPECT_FALSE(set.locate("PerName", "Bob"));
    EXPECT_TRUE(set.locate("PerName", "Amy"));
    EXPECT_EQ(set.text("PerUUID"), "p2");
}

TEST_F(ClientDataSetTest, LookupsFollowEditsAndAppends) {
    ClientDataSet set = people();
    set.setFilter("PerDept='0001'");
    EXPECT_TRUE(set.locate("PerName", "Amy"));
    EXPECT_EQ(set.recordCount(), 2);

    set.setFiltered(false);
    ASSERT_TRUE(set.locate("PerUUID", "p3"));
    set.edit();
    set.setValue("PerDept", "0001");
    set.setValue("PerName", "Bea");
    set.post();
    EXPECT_EQ(set.text("PerUUID"), "p3");
    EXPECT_FALSE(set.locate("PerName", "Bob"));
    EXPECT_TRUE(set.locate("PerName", "Bea"));

    set.append();
    set.setValue("PerUUID", "p7");
    set.setValue("PerDept", "0001");
    set.post();
    EXPECT_EQ(set.text("PerUUID"), "p7");
    EXPECT_TRUE(set.locate("PerUUID", "p7"));
    set.setFilter("PerDept='0001'");
    EXPECT_EQ(set.recordCount(), 7);  // still unfiltered
    set.setFiltered(true);
    EXPECT_EQ(visibleIds(set), (QStringList{"p2", "p3", "p4", "p7"}));

    // With an index the appended row takes its place once posted; the cursor stays on it.
    set.setIndexFieldNames("PerUUID");
    set.setFiltered(false);
    set.append();
    set.setValue("PerUUID", "p35");
    set.post();
    EXPECT_EQ(set.text("PerUUID"), "p35");
    set.next();
    EXPECT_EQ(set.text("PerUUID"), "p4");
    EXPECT_EQ(set.pendingInserts().rows.size(), 2);
}

// 100,000 people: every look-up must stay a hash look-up (a scan per call would take minutes).
TEST_F(ClientDataSetTest, LargeDatasetsStayFast) {
    constexpr int people = 100000;
    constexpr int depts = 5000;
    {
        QSqlDatabase db = store_->database();
        ASSERT_TRUE(db.transaction());
        QSqlQuery insert(db);
        insert.prepare("INSERT INTO CV_PersonInfo (PerUUID, PerName, PerDept) VALUES (?, ?, ?)");
        for (int i = 0; i < people; ++i) {
            insert.addBindValue(QStringLiteral("uuid-%1").arg(i));
            insert.addBindValue(QStringLiteral("姓名%1").arg(i));
            insert.addBindValue(i % 10 == 0 ? QVariant() : QVariant(QString::number(i % depts)));
            ASSERT_TRUE(insert.exec());
        }
        ASSERT_TRUE(db.commit());
    }
    QElapsedTimer timer;
    timer.start();
    ClientDataSet set("CdsExportPer");
    set.setData(select("SELECT * FROM CV_PersonInfo"));
    const qint64 loaded = timer.restart();

    for (int i = people - 1; i >= 0; --i) {
        ASSERT_TRUE(set.locate("PerUUID", QStringLiteral("uuid-%1").arg(i)));
    }
    const qint64 located = timer.restart();

    qsizetype shown = 0;
    set.setFilter("PerDept=NULL");
    shown += set.recordCount();
    for (int d = 0; d < depts; ++d) {
        set.setFilter("PerDept=" + sqlQuote(QString::number(d)));
        for (set.first(); !set.eof(); set.next()) ++shown;
    }
    EXPECT_EQ(shown, people);
    const qint64 filtered = timer.restart();

    set.setFilter("");
    set.saveToFile(path("perinfo.per"));
    ClientDataSet back("back");
    back.loadFromFile(path("perinfo.per"));
    EXPECT_EQ(back.data().rows, set.data().rows);
    const qint64 saved = timer.restart();

    RecordProperty("load_ms", int(loaded));
    RecordProperty("locate_ms", int(located));
    RecordProperty("filter_ms", int(filtered));
    RecordProperty("save_load_ms", int(saved));
    std::printf(
        "100,000 people: query %lld ms, locate each %lld ms, %d filters %lld ms, "
        "save and load %lld ms\n",
        loaded, located, depts, filtered, saved);
    EXPECT_LT(loaded + located + filtered + saved, 60000);
}

}  // namespace
}  // namespace cv::test
