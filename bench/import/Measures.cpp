#include "Measures.h"

#include <fcntl.h>
#include <libpq-fe.h>
#include <malloc.h>
#include <sched.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace bench {
namespace {

Spread spread(std::vector<double> samples) {
    if (samples.empty()) return {};
    std::sort(samples.begin(), samples.end());
    return {samples[samples.size() / 2], samples[samples.size() * 9 / 10]};
}

[[noreturn]] void fail(const QString& what) {
    std::fprintf(stderr, "bench_import: %s\n", qPrintable(what));
    std::exit(1);
}

}  // namespace

Spread flushTimes(const QString& folder, int samples) {
    const QByteArray path = QDir(folder).filePath("cvbench-flush.tmp").toLocal8Bit();
    const int fd = open(path.constData(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return {};
    const std::vector<char> page(8192, 'x');
    std::vector<double> times;
    QElapsedTimer timer;
    for (int i = 0; i < samples; ++i) {
        if (pwrite(fd, page.data(), page.size(), 0) != ssize_t(page.size())) break;
        timer.start();
        if (fdatasync(fd) != 0) break;
        times.push_back(timer.nsecsElapsed() / 1e6);
    }
    close(fd);
    unlink(path.constData());
    return spread(times);
}

PgSession::PgSession(const QString& url) : connection_(PQconnectdb(url.toUtf8().constData())) {
    if (PQstatus(connection_) != CONNECTION_OK)
        fail("cannot reach the server: " + QString::fromUtf8(PQerrorMessage(connection_)));
}

PgSession::~PgSession() { PQfinish(connection_); }

QString PgSession::value(const QString& sql) {
    PGresult* result = PQexec(connection_, sql.toUtf8().constData());
    if (PQresultStatus(result) != PGRES_TUPLES_OK) {
        const QString error = QString::fromUtf8(PQerrorMessage(connection_));
        PQclear(result);
        fail(sql + ": " + error);
    }
    const QString value = PQntuples(result) > 0 && PQnfields(result) > 0
                              ? QString::fromUtf8(PQgetvalue(result, 0, 0))
                              : QString();
    PQclear(result);
    return value;
}

void PgSession::execute(const QString& sql) {
    PGresult* result = PQexec(connection_, sql.toUtf8().constData());
    const ExecStatusType status = PQresultStatus(result);
    PQclear(result);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
        fail(sql + ": " + QString::fromUtf8(PQerrorMessage(connection_)));
}

Spread PgSession::roundTrips(int queries) {
    std::vector<double> times;
    QElapsedTimer timer;
    for (int i = -5; i < queries; ++i) {
        timer.start();
        value("SELECT 1");
        if (i >= 0) times.push_back(timer.nsecsElapsed() / 1e6);
    }
    return spread(times);
}

ServerWatch::ServerWatch(const QString& serverUrl) : session_(serverUrl) {
    // Fresh figures on every read, not the transaction's first snapshot of them.
    session_.execute("SET stats_fetch_consistency = none");
    session_.execute("BEGIN");
}

ServerCounts ServerWatch::counts() {
    const QStringList values =
        session_
            .value(
                "SELECT concat_ws(' ', d.xact_commit, w.wal_sync, w.wal_sync_time) FROM "
                "pg_stat_database d, pg_stat_wal w WHERE d.datname = current_database()")
            .split(' ');
    return {values.value(0).toLongLong(), values.value(1).toLongLong(), values.value(2).toDouble()};
}

ServerCounts ServerWatch::settled() {
    ServerCounts last = counts();
    QElapsedTimer waited;
    waited.start();
    // Unchanged over 300 ms (sessions that ended report at once), for at most 5 s.
    for (int still = 0; still < 6 && waited.elapsed() < 5000;) {
        QThread::msleep(50);
        const ServerCounts now = counts();
        still = now.commits == last.commits && now.flushes == last.flushes ? still + 1 : 0;
        last = now;
    }
    return last;
}

void resetPeakMemory() {
    malloc_trim(0);
    QFile refs("/proc/self/clear_refs");
    if (refs.open(QIODevice::WriteOnly)) refs.write("5");
}

double peakMemoryMB() {
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly)) return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:")) return line.mid(6).trimmed().split(' ')[0].toDouble() / 1024;
    return 0;
}

QString loadAverage() {
    QFile file("/proc/loadavg");
    if (!file.open(QIODevice::ReadOnly)) return "unknown";
    return QString::fromLatin1(file.readAll()).section(' ', 0, 2);
}

int processorsAllowed() {
    cpu_set_t set;
    return sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 0;
}

int processorsOnline() { return int(sysconf(_SC_NPROCESSORS_ONLN)); }

}  // namespace bench
