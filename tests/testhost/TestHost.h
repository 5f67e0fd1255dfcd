// The test host: the test executable plays the host program. It exports CVGetWorkingStyle,
// CVGetAppInterface and GetCurUUID with answers that each test sets, provides main() with a
// QApplication (offscreen), and makes installations for tests: real SQLite files in a
// temporary folder, or schemas on a real PostgreSQL server when the run names one (see
// TestDatabase.h), reached by the plug-in through the real companion libraries.
#pragma once

#include <gtest/gtest.h>

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>

#include "TestDatabase.h"

class QProcess;

namespace cv {
class Connection;
}

namespace testhost {

struct Answers {
    std::uint8_t workingStyle = 2;
    bool appInterfaceAvailable = true;  // false: CVGetAppInterface answers null
    QString curUUID = QStringLiteral("TEST-UUID-0001");
    int appInterfaceCalls = 0;
    QByteArray lastAppInterfaceLibrary;
};

// Whether strace can inject faults here (it needs ptrace).
bool straceInjects();
// Starts `program` with `arguments` in `process` under strace, every thread followed, with the
// fault `inject` ("pwrite64:signal=SIGKILL:when=3"), counting only the calls on the file
// `path` when one is given. LeakSanitizer cannot work under ptrace: a sanitized build checks
// for leaks in the runs without strace.
void startUnderStrace(QProcess& process, const QString& inject, const QString& program,
                      const QStringList& arguments, const QString& path = {});

// The answers of the executable's exports; reset() restores the defaults and the host's
// settings, and closes the host's connections.
Answers& answers();
void reset();

// A fresh installation in its own temporary folder: a store with the host's schema (and the
// sample personnel when asked), the host's settings pointed at it (db, packageDir, tempDir,
// logFile), and a fresh application object so that the library creates a new data module
// for it. `server` names a PostgreSQL server other than the run's.
class Installation {
public:
    enum class Content { Empty, SampleA, SampleB };
    explicit Installation(Content content = Content::Empty, std::uint8_t style = 2,
                          const QString& server = testdb::serverUrl());
    ~Installation();

    // The store as the host's settings take it: an SQLite file or a postgresql:// URL.
    const QString& target() const { return store_.target(); }
    QString folder() const { return dir_.path() + '/'; }
    QString packageDir() const { return folder() + "pkg/"; }
    QString tempDir() const { return folder() + "temp/"; }
    QString logFile() const { return folder() + "host.log"; }
    // The application object to pass to the exports (owner of the library's components).
    QObject* application() { return &application_; }
    // A connection of the test's own, for checking what the library stored.
    cv::Connection& db();
    // Runs a statement on the test's connection; throws on failure.
    void exec(const QString& sql);
    // The first column of the first row of a query, as text ("" for NULL or no row).
    QString scalar(const QString& sql);
    int count(const QString& sql) { return scalar(sql).toInt(); }
    // Every row of a query as "value|value|...", a NULL as "<null>".
    QStringList rows(const QString& sql);
    // Makes the store refuse every insert into `table` whose new row meets `condition`
    // (written with NEW.column), as a constraint of the installation would.
    void refuseInserts(const QString& table, const QString& condition);

private:
    QTemporaryDir dir_;
    testdb::FreshStore store_;
    QObject application_;
    std::unique_ptr<cv::Connection> db_;
};

// Names the two instantiations of a suite that runs in both working styles.
inline std::string styleName(const ::testing::TestParamInfo<std::uint8_t>& info) {
    return info.param == 1 ? "Networked" : "Local";
}

}  // namespace testhost

// Runs a suite parameterized by working style in both: 2 local, 1 networked.
#define CV_BOTH_STYLES(suite)                                                                    \
    INSTANTIATE_TEST_SUITE_P(Styles, suite, ::testing::Values(std::uint8_t{2}, std::uint8_t{1}), \
                             ::testhost::styleName)

// Readable Qt text in failure messages.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QStringList& list, std::ostream* os) {
    *os << '{';
    for (const QString& text : list) *os << " \"" << text.toStdString() << '"';
    *os << " }";
}
