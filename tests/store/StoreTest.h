// A fresh installation per test, in the working style of the test's parameter (2 local on the
// SQLite store, 1 networked through the broker over the same store), with the data module
// created for it. Every suite that uses it runs in both styles with the same expectations.
#pragma once

#include <gtest/gtest.h>

#include <QStringList>
#include <memory>

#include "Database.h"
#include "HostContext.h"
#include "TCVPerson.h"
#include "TDM_PersonPack.h"
#include "TestHost.h"

namespace cv::test {

class StoreTest : public ::testing::TestWithParam<std::uint8_t> {
protected:
    void SetUp() override {
        installation_ = std::make_unique<testhost::Installation>(
            testhost::Installation::Content::Empty, GetParam());
        installContext(installation_->application(), nullptr, nullptr);
        ASSERT_TRUE(TDM_PersonPack::PrepareStore());
        TCVPerson::ResetLoginNameGenerator();
    }
    void TearDown() override {
        installContext(nullptr, nullptr, nullptr);
        installation_.reset();
    }

    bool networked() const { return GetParam() == 1; }
    testhost::Installation& installation() { return *installation_; }
    TDM_PersonPack& module() { return *TDM_PersonPack::instance(); }

    void exec(const QString& sql) { installation_->exec(sql); }
    int count(const QString& sql) { return installation_->count(sql); }
    void addDept(const QString& id, const QString& name) {
        exec("INSERT INTO CV_DeptInfo(DeptID, DeptName, DeptMemo) VALUES(" + sqlQuote(id) + ", " +
             sqlQuote(name) + ", 'memo')");
    }
    void addPerson(const QString& uuid, const QString& login, const QString& dept = {}) {
        exec("INSERT INTO CV_PersonInfo(PerUUID, PerName, LoginName, PerDept, PrjID) VALUES(" +
             sqlQuote(uuid) + ", " + sqlQuote("name of " + uuid) + ", " + sqlQuote(login) + ", " +
             sqlQuote(dept) + ", 7)");
    }
    QStringList rows(const QString& sql) { return installation_->rows(sql); }
    QStringList depts() {
        return rows("SELECT DeptID, DeptName, DeptMemo FROM CV_DeptInfo ORDER BY DeptID");
    }

private:
    std::unique_ptr<testhost::Installation> installation_;
};

}  // namespace cv::test
