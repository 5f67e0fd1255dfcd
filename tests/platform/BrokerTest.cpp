// The broker over the embedded back end, and client datasets that open and apply through it.
#include <QSqlQuery>

#include "ClientDataSet.h"
#include "ConnectionBroker.h"
#include "PlatformTest.h"

namespace cv::test {
namespace {

class BrokerTest : public PlatformTest {
protected:
    void SetUp() override {
        PlatformTest::SetUp();
        execute("INSERT INTO CV_PersonInfo (PerUUID, PerName, PrjID) VALUES ('taken', 'T', 0)");
        broker_ = std::make_unique<ConnectionBroker>(openStore());
    }

    // A person dataset as the person store prepares one for its inserts.
    void openPersons(ClientDataSet& persons) {
        persons.setRemoteServer(broker_.get());
        persons.setProviderName("DspPerson");
        persons.setCommandText("Select Top 1 * From CV_PersonInfo");
        persons.open();
    }

    static void appendPerson(ClientDataSet& persons, const QString& id, const QString& name = "N") {
        persons.append();
        persons.setValue("PerUUID", id);
        persons.setValue("PerName", name);
        persons.setValue("PerDept", "");
        persons.setValue("PrjID", 0);
        persons.post();
    }

    QStringList storedIds() const {
        return column(select("SELECT PerUUID FROM CV_PersonInfo ORDER BY PerUUID"), "PerUUID");
    }

    std::unique_ptr<ConnectionBroker> broker_;
};

TEST_F(BrokerTest, OnlyTheServersProvidersAnswer) {
    for (const QString& provider : ConnectionBroker::providerNames()) {
        EXPECT_EQ(broker_->fetch(provider, "SELECT PerUUID FROM CV_PersonInfo").rows.size(), 1)
            << provider.toStdString();
    }
    EXPECT_THROW(broker_->fetch("DstProvider", "SELECT 1"), DbError);
    const RowSet none{{{"PerUUID", FieldType::String, 0}}, {{QVariant("x")}}};
    EXPECT_THROW(broker_->applyInserts("DspNone", "Select * From CV_PersonInfo", none, -1),
                 DbError);
    EXPECT_EQ(storedIds(), QStringList{"taken"});
}

TEST_F(BrokerTest, AppendedRecordsAreInsertedWithBoundValues) {
    ClientDataSet persons("CDSPerson");
    openPersons(persons);
    EXPECT_EQ(persons.recordCount(), 1);
    const QString hostile = "O'Brien'); DROP TABLE CV_PersonInfo; --";
    appendPerson(persons, "new", hostile);
    EXPECT_EQ(persons.pendingInserts().rows.size(), 1);
    EXPECT_EQ(persons.applyUpdates(-1), 0);
    EXPECT_TRUE(persons.pendingInserts().rows.isEmpty());

    const RowSet stored =
        select("SELECT PerName, PerDept, PerMemo, PrjID FROM CV_PersonInfo WHERE PerUUID='new'");
    ASSERT_EQ(stored.rows.size(), 1);
    EXPECT_EQ(stored.rows[0][0].toString(), hostile);
    EXPECT_FALSE(stored.rows[0][1].isNull());
    EXPECT_EQ(stored.rows[0][1].toString(), "");
    EXPECT_TRUE(stored.rows[0][2].isNull());
    EXPECT_EQ(stored.rows[0][3].toLongLong(), 0);
}

TEST_F(BrokerTest, RefusedRecordsCountUpToTheErrorLimit) {
    const struct {
        QStringList ids;
        int maxErrors;
        int refused;  // -1: the apply throws
        QStringList stored;
    } cases[] = {
        {{"taken"}, -1, 1, {"taken"}},
        {{"taken"}, 0, -1, {"taken"}},
        {{"a", "taken", "b"}, -1, 1, {"a", "b", "taken"}},
        {{"a", "taken", "b"}, 1, 1, {"a", "b", "taken"}},
        // Stopping at the limit leaves none of the batch stored and every record pending.
        {{"a", "taken", "b"}, 0, -1, {"taken"}},
        {{"a", "taken", "a"}, 1, -1, {"taken"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ids.join(',').toStdString() + " max " + std::to_string(c.maxErrors));
        execute("DELETE FROM CV_PersonInfo WHERE PerUUID <> 'taken'");
        ClientDataSet persons("CDSPerson");
        openPersons(persons);
        for (const QString& id : c.ids) appendPerson(persons, id);
        if (c.refused < 0) {
            EXPECT_THROW(persons.applyUpdates(c.maxErrors), DbError);
            EXPECT_EQ(persons.pendingInserts().rows.size(), c.ids.size());
        } else {
            EXPECT_EQ(persons.applyUpdates(c.maxErrors), c.refused);
        }
        EXPECT_EQ(storedIds(), c.stored);
    }
}

TEST_F(BrokerTest, InsertsGoToTheTableOfTheCommandText) {
    ClientDataSet depts("CDSTempSelect");
    depts.setRemoteServer(broker_.get());
    depts.setProviderName("DspSelect");
    depts.setCommandText("Select Top 1 * From CV_DeptInfo");
    depts.open();
    EXPECT_EQ(depts.recordCount(), 0);
    depts.append();
    depts.setValue("DeptId", "0001");
    depts.setValue("DeptName", "研发");
    depts.setValue("DeptMemo", "");
    depts.post();
    EXPECT_EQ(depts.applyUpdates(-1), 0);
    EXPECT_EQ(column(select("SELECT DeptName FROM CV_DeptInfo"), "DeptName"), QStringList{"研发"});

    const RowSet record{{{"DeptID", FieldType::String, 0}}, {{QVariant("0002")}}};
    EXPECT_THROW(broker_->applyInserts("DspSelect", "SELECT 1", record, -1), DbError);
}

TEST_F(BrokerTest, AStoppedServerIsNotConnectedAndRefusesWork) {
    // The connection is closed under the broker; on a server, the server also ends the
    // broker's session itself.
    const bool server = store_->dialect() == Dialect::PostgreSQL;
    for (const bool terminated : {false, true}) {
        if (terminated && !server) continue;
        SCOPED_TRACE(terminated ? "terminated by the server" : "closed");
        broker_ = std::make_unique<ConnectionBroker>(openStore());
        ClientDataSet persons("CDSPerson");
        openPersons(persons);
        appendPerson(persons, "late");
        EXPECT_TRUE(broker_->connected());
        if (terminated) {
            QSqlQuery pid(broker_->serverConnection().database());
            ASSERT_TRUE(pid.exec("SELECT pg_backend_pid()") && pid.next());
            execute("SELECT pg_terminate_backend(" + pid.value(0).toString() + ")");
        } else {
            broker_->serverConnection().database().close();
        }
        EXPECT_FALSE(broker_->connected());
        EXPECT_THROW(broker_->fetch("DspTemp", "SELECT 1"), DbError);
        EXPECT_THROW(persons.applyUpdates(-1), DbError);
        EXPECT_EQ(persons.pendingInserts().rows.size(), 1);
        EXPECT_EQ(storedIds(), QStringList{"taken"});
    }
}

}  // namespace
}  // namespace cv::test
