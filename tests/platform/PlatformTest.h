// Shared fixture of the platform tests: a fresh store with the host's two tables (an SQLite
// file in a temporary folder, or a schema on the PostgreSQL server the run names).
#pragma once

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <memory>

#include "Database.h"
#include "TestDatabase.h"

namespace cv::test {

class PlatformTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        fresh_ = std::make_unique<testdb::FreshStore>(dir_.path());
        store_ = openStore();
        execute(
            "CREATE TABLE CV_PersonInfo (PerUUID varchar(40) PRIMARY KEY, PerName varchar(40), "
            "PerSex varchar(4), PerMemo text, LoginName varchar(40), UPassword varchar(40), "
            "PerDept varchar(40), PrjID integer)");
        execute(
            "CREATE TABLE CV_DeptInfo (DeptID varchar(40) PRIMARY KEY, DeptName varchar(100), "
            "DeptMemo text)");
    }

    QString path(const QString& name) const { return dir_.filePath(name); }

    // Another connection to the same installation.
    std::unique_ptr<Connection> openStore() const { return Connection::open(fresh_->target()); }

    void execute(const QString& sql) const {
        Command command(store_.get());
        command.setCommandText(sql);
        command.execute();
    }

    RowSet select(const QString& sql) const {
        Query query(store_.get());
        query.setCommandText(sql);
        query.open();
        return query.data();
    }

    void TearDown() override { store_.reset(); }

    QTemporaryDir dir_;
    std::unique_ptr<testdb::FreshStore> fresh_;
    std::unique_ptr<Connection> store_;
};

// The texts of one column, a null shown as "<null>".
inline QStringList column(const RowSet& data, const QString& field) {
    QStringList texts;
    const int index = data.indexOf(field);
    for (const Row& row : data.rows) {
        texts << (row[index].isNull() ? QStringLiteral("<null>") : valueText(row[index]));
    }
    return texts;
}

}  // namespace cv::test
