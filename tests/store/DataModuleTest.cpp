#include <QVector>

#include "ClientDataSet.h"
#include "HostSettings.h"
#include "StoreTest.h"

namespace cv::test {
namespace {

class DataModuleTest : public StoreTest {};
CV_BOTH_STYLES(DataModuleTest);

QStringList column(ClientDataSet& dataset, const QString& field) {
    QStringList values;
    for (dataset.first(); !dataset.eof(); dataset.next()) values << dataset.text(field);
    return values;
}

TEST_P(DataModuleTest, PrepareStoreCreatesOneModuleUnderTheApplicationAndReusesIt) {
    QObject* app = installation().application();
    QObject* found = findOwnedComponent("DM_PersonPack");
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->parent(), app);
    EXPECT_EQ(TDM_PersonPack::instance(), found);

    ASSERT_TRUE(TDM_PersonPack::PrepareStore());
    EXPECT_EQ(app->findChildren<TDM_PersonPack*>().size(), 1);
    EXPECT_EQ(TDM_PersonPack::instance(), found);
    // Only the connection object of the style of creation is attached.
    EXPECT_EQ(module().BaseConnection() != nullptr, !networked());
    EXPECT_EQ(module().ConnectionBroker() != nullptr, networked());
}

TEST_P(DataModuleTest, PrepareStoreFollowsTheHostAndFailsWithoutAConnectionThrowingNothing) {
    // The connection of the style is there but no longer connected: the host makes a fresh
    // one on the next ask, and the module is attached to it.
    Connection* before =
        networked() ? &module().ConnectionBroker()->serverConnection() : module().BaseConnection();
    before->database().close();
    ASSERT_TRUE(TDM_PersonPack::PrepareStore());
    Connection* after =
        networked() ? &module().ConnectionBroker()->serverConnection() : module().BaseConnection();
    EXPECT_NE(after, before);
    EXPECT_EQ(after, networked() ? &cvhost::connectionBroker()->serverConnection()
                                 : cvhost::baseConnection());
    addPerson("p1", "one");
    EXPECT_FALSE(module().IsEmptyResult("SELECT PerUUID FROM CV_PersonInfo"));

    // No connection to be had: the check fails, and succeeds again once there is one.
    const QString db = cvhost::Settings::instance().value("db");
    cvhost::Settings::instance().set("db", installation().folder() + "no/such/dir/x.sqlite");
    after->database().close();
    EXPECT_FALSE(TDM_PersonPack::PrepareStore());
    cvhost::Settings::instance().set("db", db);
    EXPECT_TRUE(TDM_PersonPack::PrepareStore());

    // The host has no connection to give.
    QObject otherApplication;
    cvhost::Settings::instance().set("db", "");
    cvhost::Settings::instance().set("server", "");
    installContext(&otherApplication, nullptr, nullptr);
    bool ready = true;
    EXPECT_NO_THROW(ready = TDM_PersonPack::PrepareStore());
    EXPECT_FALSE(ready);

    installContext(nullptr, nullptr, nullptr);
    EXPECT_NO_THROW(ready = TDM_PersonPack::PrepareStore());
    EXPECT_FALSE(ready);
}

TEST_P(DataModuleTest, EachFetchReturnsTheRowsOfItsOwnStatement) {
    addPerson("p1", "one", "0001");
    addPerson("p2", "two", "0001");
    addPerson("p3", "three", "0002");
    const QString sql = "SELECT PerUUID, LoginName FROM CV_PersonInfo WHERE PerDept=%1 ORDER BY 1";
    ClientDataSet target;
    ASSERT_TRUE(module().FetchRows(target, sql.arg("'0001'")));
    EXPECT_EQ(column(target, "PerUUID"), QStringList({"p1", "p2"}));
    ASSERT_TRUE(module().FetchRows(target, sql.arg("'0002'")));
    EXPECT_EQ(column(target, "LoginName"), QStringList({"three"}));

    ASSERT_TRUE(module().FetchRows(target, sql.arg("'none'")));
    EXPECT_EQ(target.recordCount(), 0);
    EXPECT_EQ(target.fieldIndex("LoginName"), 1);  // the field definitions come along

    EXPECT_FALSE(module().FetchRows(target, "SELECT nothing FROM NoSuchTable"));
}

TEST_P(DataModuleTest, FetchWithDeptPathsReplacesEveryNameByItsWholePath) {
    const QString longName(60, QChar(u'长'));  // three of them exceed DeptName's width of 100
    addDept("0001", "A");
    addDept("00010002", "B'x");
    addDept("000100020003", "C");
    addDept("0002", longName);
    addDept("00020001", longName);
    addDept("000200010001", longName);
    const QString sql =
        "SELECT DeptID, DeptName, DeptMemo FROM CV_DeptInfo WHERE DeptID IN (%1) "
        "ORDER BY DeptID";
    ClientDataSet target;
    ASSERT_TRUE(module().FetchWithDeptPaths(target, sql.arg("'00010002','000100020003'")));
    EXPECT_EQ(column(target, "DeptName"), QStringList({"A_B'x", "A_B'x_C"}));
    EXPECT_EQ(column(target, "DeptMemo"), QStringList({"memo", "memo"}));

    ASSERT_TRUE(module().FetchWithDeptPaths(target, sql.arg("'000200010001'")));
    const QString longPath = longName + '_' + longName + '_' + longName;
    EXPECT_EQ(column(target, "DeptName"), QStringList({longPath}));
    const FieldDef& nameField = target.fields().at(target.fieldIndex("DeptName"));
    EXPECT_TRUE(nameField.width == 0 || nameField.width >= longPath.size()) << nameField.width;

    ASSERT_TRUE(module().FetchWithDeptPaths(target, sql.arg("'none'")));
    EXPECT_EQ(target.recordCount(), 0);
    EXPECT_FALSE(module().FetchWithDeptPaths(target, "SELECT DeptID FROM CV_DeptInfo"));
}

TEST_P(DataModuleTest, DeptPathLooksUpOneLevelPerFullFourCharacters) {
    addDept("0001", "A");
    addDept("00010002", "B");
    addDept("000100020003", "C");
    addDept("0001000", "Seven");
    addDept("00010002Z", "Nine");
    addDept("0001000200039", "Thirteen");
    addDept("00090001", "Orphan");
    const struct {
        const char* code;
        const char* path;
    } cases[] = {
        {"", ""},
        {"0001", "A"},
        {"0001000", "Seven"},
        {"00010002", "A_B"},
        {"00010002Z", "A_Nine"},
        {"000100020003", "A_B_C"},
        {"0001000200039", "A_B_Thirteen"},
        {"00090001", "_Orphan"},
        {"9999", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(TCVPerson::GetDeptPathName(c.code), c.path) << c.code;
}

TEST_P(DataModuleTest, EmptyResultTestAnswersAndLetsFailuresThrough) {
    addPerson("p1", "one");
    EXPECT_FALSE(module().IsEmptyResult("SELECT PerUUID FROM CV_PersonInfo"));
    EXPECT_TRUE(module().IsEmptyResult("SELECT PerUUID FROM CV_PersonInfo WHERE PerUUID='x'"));
    EXPECT_THROW(module().IsEmptyResult("SELECT nothing FROM NoSuchTable"), DbError);
}

// Styles other than 1 and 2 attach nothing; the operations then take the local branch.
TEST(DataModuleOtherStyleTest, UnknownStyleAttachesNothingAndFetchesFail) {
    testhost::Installation installation(testhost::Installation::Content::Empty, 3);
    installContext(installation.application(), nullptr, nullptr);
    ASSERT_TRUE(TDM_PersonPack::PrepareStore());
    TDM_PersonPack& module = *TDM_PersonPack::instance();
    EXPECT_EQ(module.BaseConnection(), nullptr);
    EXPECT_EQ(module.ConnectionBroker(), nullptr);
    ClientDataSet target;
    EXPECT_FALSE(module.FetchRows(target, "SELECT PerUUID FROM CV_PersonInfo"));
    EXPECT_FALSE(module.FetchWithDeptPaths(target, "SELECT DeptID, DeptName FROM CV_DeptInfo"));
    installContext(nullptr, nullptr, nullptr);
}

}  // namespace
}  // namespace cv::test
