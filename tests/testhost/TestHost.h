// The test host: the test executable plays the host program. It exports CVGetWorkingStyle,
// CVGetAppInterface and GetCurUUID with answers that each test sets, provides main() with a
// QApplication (offscreen), and makes installations for tests: real SQLite files in a
// temporary folder, reached by the plug-in through the real companion libraries.
#pragma once

#include <QObject>
#include <QString>
#include <QTemporaryDir>
#include <cstdint>
#include <memory>

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

// The answers of the executable's exports; reset() restores the defaults and the host's
// settings, and closes the host's connections.
Answers& answers();
void reset();

// A fresh installation in its own temporary folder: an SQLite store with the host's schema
// (and the sample personnel when asked), the host's settings pointed at it (db, packageDir,
// tempDir, logFile), and a fresh application object so that the library creates a new data
// module for it.
class Installation {
public:
    enum class Content { Empty, SampleA, SampleB };
    explicit Installation(Content content = Content::Empty, std::uint8_t style = 2);
    ~Installation();

    const QString& databasePath() const { return databasePath_; }
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

private:
    QTemporaryDir dir_;
    QString databasePath_;
    QObject application_;
    std::unique_ptr<cv::Connection> db_;
};

}  // namespace testhost
