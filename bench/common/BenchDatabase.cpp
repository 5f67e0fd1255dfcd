#include "BenchDatabase.h"

#include <sched.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSqlError>
#include <QStandardPaths>
#include <QUuid>
#include <QVersionNumber>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "Database.h"
#include "Installation.h"

namespace bench {
namespace {

QString& server() {
    static QString url = qEnvironmentVariable("CV_POSTGRES_URL");
    return url;
}

bool serverGiven = false;  // by --postgres rather than by the environment

[[noreturn]] void fail(const QString& what) {
    const QString name =
        QCoreApplication::instance() ? QCoreApplication::applicationName() : QString("bench");
    std::fprintf(stderr, "%s: %s\n", qPrintable(name), qPrintable(what));
    std::exit(1);
}

QString firstValue(const QString& target, const QString& sql) {
    auto connection = cv::Connection::open(target);
    cv::Query query(connection.get());
    query.setCommandText(sql);
    query.open();
    return query.eof() ? QString() : query.data().rows.first().value(0).toString();
}

// Debian's /usr/bin/psql is a Perl wrapper that picks a cluster: tens of milliseconds of its
// own on every start. The newest installed client itself is what the timings should see.
QString psqlProgram() {
    QString best;
    QVersionNumber newest;
    for (const QString& version :
         QDir("/usr/lib/postgresql").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QString candidate = "/usr/lib/postgresql/" + version + "/bin/psql";
        const QVersionNumber number = QVersionNumber::fromString(version);
        if (QFile::exists(candidate) && (best.isEmpty() || number > newest)) {
            best = candidate;
            newest = number;
        }
    }
    return best.isEmpty() ? QStandardPaths::findExecutable("psql") : best;
}

QString shellProgram(bool onServer) {
    const QString program = onServer ? psqlProgram() : QStandardPaths::findExecutable("sqlite3");
    if (program.isEmpty())
        fail(QString("no %1 shell installed").arg(onServer ? "psql" : "sqlite3"));
    return program;
}

// A word as a shell reads it back: quoted when it holds anything but plain characters.
QString shellWord(const QString& word) {
    static const QString plain =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_./:=@,+%";
    bool quoted = word.isEmpty();
    for (const QChar c : word) quoted = quoted || !plain.contains(c);
    if (!quoted) return word;
    QString inner = word;
    return '\'' + inner.replace('\'', QLatin1String("'\\''")) + '\'';
}

}  // namespace

void takeServerOption(int& argc, char** argv) {
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--postgres") == 0) {
            if (i + 1 >= argc) fail("--postgres needs a postgresql:// address");
            server() = QString::fromLocal8Bit(argv[++i]);
            serverGiven = true;
        } else if (std::strncmp(arg, "--postgres=", 11) == 0) {
            server() = QString::fromLocal8Bit(arg + 11);
            serverGiven = true;
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    argv[argc] = nullptr;
}

const QString& serverUrl() { return server(); }

bool onServer() { return !server().isEmpty(); }

QString engineName() { return engineNameOf(server()); }

QString engineNameOf(const QString& server) {
    try {
        if (server.isEmpty()) return "SQLite " + firstValue(":memory:", "SELECT sqlite_version()");
        return "PostgreSQL " + firstValue(server, "SHOW server_version").section(' ', 0, 0);
    } catch (const cv::DbError& e) {
        fail(e.what());
    }
}

const char* shellName() { return onServer() ? "psql" : "sqlite3"; }

const char* styleName(std::uint8_t style) { return style == 1 ? "networked" : "local"; }

QString repeatCommand(const QString& program, const QStringList& arguments,
                      const QString& environment) {
    // Assignments first, then taskset, then what it runs.
    QStringList words;
    if (!environment.isEmpty()) words << environment;
    // pgserver.sh run marks its runs with the folder of the server it started.
    const bool underPgserver =
        onServer() && !serverGiven && qEnvironmentVariableIsSet("CV_TEST_POSTGRES_DIR");
    if (onServer() && !serverGiven && !underPgserver)
        words << "CV_POSTGRES_URL=" + shellWord(server());
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0 &&
        CPU_COUNT(&allowed) < sysconf(_SC_NPROCESSORS_ONLN)) {
        QStringList cpus;
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
            if (CPU_ISSET(cpu, &allowed)) cpus << QString::number(cpu);
        words << "taskset"
              << "-c" << cpus.join(',');
    }
    if (underPgserver) {
        words << QDir(CV_SOURCE_DIR).filePath("scripts/pgserver.sh") << "run";
        if (qEnvironmentVariableIsSet("CV_POSTGRES_DURABLE")) words << "--durable";
    }
    words << shellWord(program);
    if (serverGiven) words << "--postgres" << shellWord(server());
    for (const QString& argument : arguments) words << shellWord(argument);
    return words.join(' ');
}

namespace {
void perfControl(const char* command) {
    const QByteArray fifo = qgetenv("CV_PERF_CONTROL");
    if (fifo.isEmpty()) return;
    if (FILE* control = std::fopen(fifo.constData(), "w")) {
        std::fputs(command, control);
        std::fclose(control);
    }
}
}  // namespace

PerfScope::PerfScope() { perfControl("enable\n"); }
PerfScope::~PerfScope() { perfControl("disable\n"); }

Store::Store(const QString& sqlitePath, const QString& server) : server_(server) {
    try {
        if (!server_.isEmpty()) {
            schema_ = "cvbench_" + QUuid::createUuid().toString(QUuid::Id128);
            target_ = cvhost::makeServerStore(server_, schema_);
        } else {
            for (const char* suffix : {"", "-wal", "-shm"}) QFile::remove(sqlitePath + suffix);
            target_ = sqlitePath;
        }
        auto connection = cvhost::openStore(target_);
        cvhost::createSchema(*connection);
    } catch (const cv::DbError& e) {
        fail(e.what());
    }
}

Store::~Store() {
    if (schema_.isEmpty()) return;
    try {
        cvhost::dropServerStore(server_, schema_);
    } catch (const cv::DbError& e) {
        // The server's removal at the end of a pgserver.sh run takes it with it.
        std::fprintf(stderr, "schema %s left on the server: %s\n", qPrintable(schema_), e.what());
    }
}

QString Store::scriptPrologue() const {
    return onServer() ? QString() : QString("PRAGMA synchronous=NORMAL;\n");
}

QString Store::rowsTo(const QString& file) const {
    return (onServer() ? "\\o " : ".once ") + file + '\n';
}

QStringList Store::shellArguments(const QString& through) const {
    // Unaligned output like the sqlite3 shell's list mode; no ~/.psqlrc; the first error
    // ends the run with a failure instead of being printed and passed over.
    if (onServer())
        return {
            "-X", "-q", "-A", "-v", "ON_ERROR_STOP=1", "-d", through.isEmpty() ? target_ : through};
    // The host opens its store with synchronous=NORMAL (and the file keeps WAL mode).
    return {"-batch", "-cmd", "PRAGMA synchronous=NORMAL", target_};
}

// Asks the shell, started as for a timing, what it runs under.
void Store::checkShellSettings() const {
    if (settingsChecked_ || onServer()) return;
    QProcess process;
    process.start(shellProgram(false), shellArguments()
                                           << "PRAGMA journal_mode; PRAGMA synchronous;");
    if (!process.waitForFinished(-1) || process.exitCode() != 0)
        fail("the sqlite3 shell cannot read " + target_);
    const QString answer = QString::fromLocal8Bit(process.readAllStandardOutput()).simplified();
    if (answer != "wal 1")
        fail(QString("the sqlite3 shell does not run under the store's settings (journal_mode "
                     "and synchronous answer \"%1\", not \"wal 1\"): %2")
                 .arg(answer, target_));
    settingsChecked_ = true;
}

double Store::shellSeconds(const QString& scriptFile, const QString& through) const {
    checkShellSettings();
    QProcess process;
    QStringList arguments = shellArguments(through);
    if (onServer()) {
        arguments << "-f" << scriptFile;
    } else {
        process.setStandardInputFile(scriptFile);
    }
    process.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer timer;
    timer.start();
    process.start(shellProgram(onServer()), arguments);
    if (!process.waitForFinished(-1) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0)
        fail(QString("the %1 shell failed: %2")
                 .arg(shellName(), QString::fromLocal8Bit(process.readAllStandardError())));
    return timer.nsecsElapsed() / 1e9;
}

double Store::shellRowsSeconds(const QStringList& statements, const QString& folder,
                               const QString& name, int runs, const QString& through) const {
    QString script = scriptPrologue();
    for (qsizetype i = 0; i < statements.size(); ++i)
        script += rowsTo(QDir(folder).filePath(QString("%1-%2.txt").arg(name).arg(i + 1))) +
                  statements[i] + ";\n";
    const QString path = QDir(folder).filePath(name + ".sql");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) fail("cannot write " + path);
    file.write(script.toUtf8());
    file.close();
    double best = shellSeconds(path, through);
    for (int run = 1; run < runs; ++run) best = std::min(best, shellSeconds(path, through));
    return best;
}

QString Store::shellCommand(const QString& scriptFile) const {
    QStringList words{shellProgram(onServer())};
    for (const QString& argument : shellArguments()) words << shellWord(argument);
    if (onServer()) return words.join(' ') + " -f " + shellWord(scriptFile) + " > /dev/null";
    return words.join(' ') + " < " + shellWord(scriptFile) + " > /dev/null";
}

BulkInsert::BulkInsert(cv::Connection& connection, const QString& table, const QStringList& columns)
    : db_(connection.database()),
      table_(table),
      columns_(columns),
      batchRows_(connection.dialect() == cv::Dialect::PostgreSQL ? 1000 : 1),
      full_(db_) {
    if (!db_.transaction()) fail("cannot begin: " + db_.lastError().text());
    if (!full_.prepare(statement(batchRows_))) fail(full_.lastError().text());
}

BulkInsert::~BulkInsert() {
    if (!finished_) finish();
}

QString BulkInsert::statement(int rows) const {
    const QString row = '(' + QStringList(columns_.size(), "?").join(", ") + ')';
    return "INSERT INTO " + table_ + " (" + columns_.join(", ") + ") VALUES " +
           QStringList(rows, row).join(", ");
}

void BulkInsert::add(const QVariantList& values) {
    if (values.size() != columns_.size()) fail("a row of the wrong width for " + table_);
    pending_ += values;
    if (pending_.size() == batchRows_ * columns_.size()) send();
}

void BulkInsert::send() {
    if (pending_.isEmpty()) return;
    const int rows = int(pending_.size() / columns_.size());
    QSqlQuery partial(db_);
    QSqlQuery& query = rows == batchRows_ ? full_ : partial;
    if (&query == &partial && !partial.prepare(statement(rows))) fail(partial.lastError().text());
    for (int i = 0; i < pending_.size(); ++i) query.bindValue(i, pending_[i]);
    if (!query.exec()) fail(query.lastError().text());
    pending_.clear();
}

void BulkInsert::finish() {
    finished_ = true;
    send();
    if (!db_.commit()) fail("cannot commit: " + db_.lastError().text());
    if (batchRows_ > 1) {
        QSqlQuery analyse(db_);
        if (!analyse.exec("ANALYZE " + table_)) fail(analyse.lastError().text());
    }
}

}  // namespace bench
