// Fixtures for the package suites: an installation of the test's own (local style on its
// store, or networked through the broker over the same store), a host window for the
// embedded frame, and helpers to read and write dataset files and to look at the frame.
#pragma once

#include <gtest/gtest.h>

#include <QStringList>
#include <QWidget>
#include <memory>

#include "CheckTree.h"
#include "ClientDataSet.h"
#include "HostContext.h"
#include "HostSettings.h"
#include "PackageOperations.h"
#include "TFramePerson.h"
#include "TestHost.h"

namespace cv::test {

using Content = testhost::Installation::Content;

// A dataset file's rows, each as "value|value|..." over `fields`, a null as "<null>".
QStringList fileRows(const QString& path, const QStringList& fields);
// Writes a dataset file of string columns; "<null>" in a cell stands for a null value.
void writeDataSetFile(const QString& path, const QStringList& fields,
                      const QList<QStringList>& rows);
// A package directory with the two dataset files: people as PerUUID, PerName, PerSex,
// LoginName, PerDept, PerMemo, UPassWord; departments as DeptID, DeptName, DeptMemo ("" memo).
void writePackage(const QString& directory, const QList<QStringList>& people,
                  const QList<QStringList>& depts);
inline const QStringList PackagePersonFields = {"PerUUID", "PerName", "PerSex",   "LoginName",
                                                "PerDept", "PerMemo", "UPassWord"};

// A file's bytes ("<missing>" when it cannot be read), without the mark an export ends its
// dataset files with: the one part of two exports of the same people that differs.
QByteArray bytesWithoutExportMark(const QString& path);

// The tree as one line per node: indentation by level, text, and the record's five fields.
QStringList dumpTree(const CheckTree& tree);
// The first check-tree node whose record has this ID and kind, or -1.
int findNode(const CheckTree& tree, const QString& id, const QString& kind);

// Members are public so that the tables of cases can reach them from their lambdas.
class PackageTest : public ::testing::TestWithParam<std::uint8_t> {
public:
    void TearDown() override {
        PackageFree();
        installContext(nullptr, nullptr, nullptr);
        installation_.reset();
    }

    // A fresh installation in the test's working style, installed as the host context;
    // `server` names a PostgreSQL server other than the run's.
    testhost::Installation& install(Content content, const QString& server = testdb::serverUrl()) {
        if (installation_) {
            PackageFree();
            installation_.reset();
        }
        installation_ = std::make_unique<testhost::Installation>(content, GetParam(), server);
        installContext(installation_->application(), nullptr, nullptr);
        return *installation_;
    }
    testhost::Installation& inst() { return *installation_; }
    void setPackageVersion(int version) {
        cvhost::Settings::instance().set("packageVersion", QString::number(version));
    }

    TFramePerson* frame() const {
        return qobject_cast<TFramePerson*>(findOwnedWidget(TFramePerson::InstanceName));
    }
    CheckTree& tree() const { return *frame()->CTDeptPerson; }
    QStringList rows(const QString& sql) { return installation_->rows(sql); }

    QWidget hostWindow;

private:
    std::unique_ptr<testhost::Installation> installation_;
};

}  // namespace cv::test
