#include <QSqlDatabase>
#include <QSqlQuery>

#include "StoreTest.h"

namespace cv::test {
namespace {

class PersonStoreTest : public StoreTest {};
CV_BOTH_STYLES(PersonStoreTest);

TCVPersonInfo person(const QString& uuid, const QString& login, const QString& dept = {}) {
    return {uuid, "pw", "name of " + uuid, "男", "", login, dept};
}

TEST_P(PersonStoreTest, ExistenceTestsCompareTheExactValue) {
    addPerson("it's-1", "o'brien");
    addPerson("u2", "plain");
    const struct {
        const char* value;
        bool person;
        bool login;
    } cases[] = {
        {"it's-1", true, false},       {"it", false, false}, {"o'brien", false, true},
        {"plain", false, true},        {"u2", true, false},  {"' OR '1'='1", false, false},
        {"o'brien' --", false, false}, {"", false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TCVPerson::PersonExists(c.value), c.person) << c.value;
        EXPECT_EQ(TCVPerson::LoginNameExists(c.value), c.login) << c.value;
    }
}

TEST_P(PersonStoreTest, InsertPersonStoresEveryFieldExactlyWithPrjIdZero) {
    const TCVPersonInfo hostile{"id'1",   "p'w", "O'Neil 王", "男", "it's'); DROP TABLE x; --",
                                "o'neil", ""};
    ASSERT_TRUE(TCVPerson::InsertPerson(hostile));
    ASSERT_TRUE(TCVPerson::InsertPerson(person("id2", "two", "0001")));
    // The engines name the stored type in their own words.
    const QString type = testdb::onPostgres() ? "pg_typeof(PrjID)::text" : "typeof(PrjID)";
    EXPECT_EQ(rows("SELECT PerUUID, UPassword, PerName, PerSex, PerMemo, LoginName, PerDept, "
                   "PrjID, " +
                   type + " FROM CV_PersonInfo ORDER BY PerUUID"),
              QStringList({"id'1|p'w|O'Neil 王|男|it's'); DROP TABLE x; --|o'neil||0|integer",
                           "id2|pw|name of id2|男||two|0001|0|integer"}));
    EXPECT_EQ(count("SELECT count(*) FROM CV_PersonInfo WHERE PerDept IS NULL OR PerMemo IS NULL"),
              0);
    EXPECT_TRUE(TCVPerson::PersonExists("id'1"));
    EXPECT_TRUE(TCVPerson::LoginNameExists("o'neil"));
}

TEST_P(PersonStoreTest, RefusedInsertAnswersFalseStoresNothingAndLeavesTheStoreUsable) {
    addPerson("dup", "original");
    EXPECT_FALSE(TCVPerson::InsertPerson(person("dup", "other")));
    EXPECT_EQ(rows("SELECT PerUUID, LoginName, PrjID FROM CV_PersonInfo"),
              QStringList({"dup|original|7"}));
    EXPECT_TRUE(TCVPerson::InsertPerson(person("next", "next")));
    EXPECT_EQ(count("SELECT count(*) FROM CV_PersonInfo"), 2);
}

TEST_P(PersonStoreTest, LoginNamesFollowTheGeneratorFromItsStartAndSkipTakenOnes) {
    // The generator's first numbers are 1000, 1282, 8749, 2823, 3456, 7044.
    EXPECT_EQ(TCVPerson::MakeUniqueLoginName("user1"), "user1_1000");
    EXPECT_EQ(TCVPerson::MakeUniqueLoginName("o'x"), "o'x_1282");
    addPerson("a", "user_8749");
    addPerson("b", "user_2823");
    // Two draws are taken; the third is free. Candidates come from the given name only.
    EXPECT_EQ(TCVPerson::MakeUniqueLoginName("user"), "user_3456");
    EXPECT_EQ(TCVPerson::MakeUniqueLoginName("user"), "user_7044");

    TCVPerson::ResetLoginNameGenerator();
    EXPECT_EQ(TCVPerson::MakeUniqueLoginName("user"), "user_1000");
}

TEST_P(PersonStoreTest, AllCandidatesTakenStopsWithLoginNameExhausted) {
    QSqlDatabase db = installation().db().database();
    ASSERT_TRUE(db.transaction());
    QSqlQuery insert(db);
    ASSERT_TRUE(insert.prepare("INSERT INTO CV_PersonInfo(PerUUID, LoginName) VALUES(?, ?)"));
    for (int n = 1000; n <= 9999; ++n) {
        insert.addBindValue(QString::number(n));
        insert.addBindValue("full_" + QString::number(n));
        ASSERT_TRUE(insert.exec());
    }
    ASSERT_TRUE(db.commit());
    EXPECT_THROW(TCVPerson::MakeUniqueLoginName("full"), LoginNameExhausted);

    exec("DELETE FROM CV_PersonInfo WHERE LoginName='full_4321'");
    EXPECT_EQ(TCVPerson::MakeUniqueLoginName("full"), "full_4321");
}

}  // namespace
}  // namespace cv::test
