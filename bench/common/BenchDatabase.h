// Where a benchmark's installations live. By default SQLite files, exactly as before; when a
// PostgreSQL server is named (`--postgres URL`, or CV_POSTGRES_URL as `scripts/pgserver.sh run`
// sets it), every installation is a fresh schema of its own on that server, reached through a
// URL whose search path names it, and dropped again at the end. The engine's own shell
// (sqlite3 or psql) is the yardstick a benchmark compares the library with.
#pragma once

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <cstdint>

namespace cv {
class Connection;
}

namespace bench {

// Takes `--postgres URL` (or `--postgres=URL`) out of argc/argv, so that a benchmark's own
// arguments keep their positions; without it CV_POSTGRES_URL names the server. Call first in
// main, before the application object is made.
void takeServerOption(int& argc, char** argv);
// The server's address, empty when the installations are SQLite files.
const QString& serverUrl();
bool onServer();
// The engine and its version, e.g. "SQLite 3.40.1" or "PostgreSQL 15.8".
QString engineName();
// The same for the server `server`, or SQLite when it is empty.
QString engineNameOf(const QString& server);
// The shell that the figures are compared with: "sqlite3" or "psql".
const char* shellName();
// "local" for the host's working style 2, "networked" for 1.
const char* styleName(std::uint8_t style);

// The command line that repeats this run: `program args` on SQLite; on a server started by
// scripts/pgserver.sh run the same under a new one (a durable one for a durable one); with an
// address given, the same address. `environment` (e.g. "QT_QPA_PLATFORM=offscreen") goes in
// front, and `taskset -c CPUS` when the run may use only some of the processors.
QString repeatCommand(const QString& program, const QStringList& arguments,
                      const QString& environment = {});

// Marks the part of a run that `perf record` should sample: when CV_PERF_CONTROL names the
// control FIFO of a perf started with --control=fifo:FIFO -D -1, sampling is enabled for the
// scope's lifetime; otherwise nothing happens. E.g.
//   mkfifo /tmp/ctl; CV_PERF_CONTROL=/tmp/ctl perf record -g --control=fifo:/tmp/ctl -D -1
//       build/bin/bench_package export local 100000 50     (one command line)
class PerfScope {
public:
    PerfScope();
    ~PerfScope();
    PerfScope(const PerfScope&) = delete;
    PerfScope& operator=(const PerfScope&) = delete;
};

// A fresh, empty installation with the host's tables.
class Store {
public:
    // On SQLite the file `sqlitePath`, an old one (and its WAL files) removed first; it stays
    // after the run. On a server (`server`, by default the benchmark's) a new schema, dropped
    // by the destructor; an empty `server` makes it the SQLite file.
    explicit Store(const QString& sqlitePath, const QString& server = serverUrl());
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // An SQLite file path or a postgresql:// URL, as the host's settings take it.
    const QString& target() const { return target_; }
    bool onServer() const { return !schema_.isEmpty(); }
    // "sqlite3" or "psql".
    const char* shellName() const { return onServer() ? "psql" : "sqlite3"; }

    // The host's synchronous=NORMAL on SQLite, on a server nothing. shellSeconds sets it for
    // every script; a script may still carry it in front.
    QString scriptPrologue() const;
    // The shell command that sends the rows of the statements after it to `file`.
    QString rowsTo(const QString& file) const;
    // Wall seconds of the engine's shell running `scriptFile` against this installation, each
    // statement on its own as a client sends it, standard output discarded; exits the
    // benchmark when the shell fails. On SQLite the shell runs under the store's own
    // settings, as the host opens it: the file in WAL mode and synchronous=NORMAL, which is
    // checked in the shell itself before the first run (the benchmark exits otherwise).
    // `through` is another address of the same server for the shell to connect to (a relay's).
    double shellSeconds(const QString& scriptFile, const QString& through = {}) const;
    // The best of `runs` runs of the shell sending `statements`, each on its own, with the rows
    // of each written to a file of its own in `folder`; the script stays there as
    // `name`.sql for a person to repeat (shellCommand).
    double shellRowsSeconds(const QStringList& statements, const QString& folder,
                            const QString& name, int runs = 3, const QString& through = {}) const;
    // That command as a person types it.
    QString shellCommand(const QString& scriptFile) const;

private:
    QStringList shellArguments(const QString& through = {}) const;
    void checkShellSettings() const;

    QString server_;
    QString schema_;
    QString target_;
    mutable bool settingsChecked_ = false;
};

// Bulk generation inside one transaction. On SQLite one prepared insert per row, as the
// benchmarks always did; on a server a round trip per row would dominate, so rows go in
// prepared statements of up to 1,000 rows each. The table is analysed at the end on the server,
// as autovacuum would have done for an installation that grew to this size.
class BulkInsert {
public:
    BulkInsert(cv::Connection& connection, const QString& table, const QStringList& columns);
    ~BulkInsert();
    BulkInsert(const BulkInsert&) = delete;
    BulkInsert& operator=(const BulkInsert&) = delete;

    // One row, a value per column (a null QVariant for NULL); exits the benchmark when the
    // insert is refused.
    void add(const QVariantList& values);
    // Sends what is buffered, commits and (on a server) analyses the table.
    void finish();

private:
    QString statement(int rows) const;
    void send();

    QSqlDatabase db_;
    QString table_;
    QStringList columns_;
    int batchRows_;  // rows per statement
    bool finished_ = false;
    QSqlQuery full_;
    QVariantList pending_;
};

}  // namespace bench
