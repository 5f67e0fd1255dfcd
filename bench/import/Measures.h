// What the import benchmark measures beside the import: the disk's flush time, a server's round
// trip and the transactions it committed, the process's peak memory, the machine's load.
#pragma once

#include <QString>
#include <cstdint>

struct pg_conn;

namespace bench {

// Milliseconds: the median and the 90th percentile of a series.
struct Spread {
    double median = 0;
    double p90 = 0;
};

// fdatasync of 8 KB rewritten in a file of `folder`, `samples` times: what a commit waits for
// where the log is flushed on every commit. Empty (0, 0) when the folder cannot take the file.
Spread flushTimes(const QString& folder, int samples = 300);

// A libpq session of the benchmark's own beside the library's; exits the benchmark when the
// server refuses it or a statement.
class PgSession {
public:
    explicit PgSession(const QString& url);
    ~PgSession();
    PgSession(const PgSession&) = delete;
    PgSession& operator=(const PgSession&) = delete;

    // The first value of the first row.
    QString value(const QString& sql);
    void execute(const QString& sql);
    // `queries` trivial queries after a few unmeasured ones, each waiting for its answer.
    Spread roundTrips(int queries);

private:
    pg_conn* connection_ = nullptr;
};

// What a server did, as its statistics count it: the transactions its database committed
// (every session's, read-only ones too; pg_stat_database) and the log flushes it made with
// their time (pg_stat_wal; the time only where track_wal_io_timing is on).
struct ServerCounts {
    std::int64_t commits = 0;
    std::int64_t flushes = 0;
    double flushMs = 0;

    ServerCounts operator-(const ServerCounts& before) const {
        return {commits - before.commits, flushes - before.flushes, flushMs - before.flushMs};
    }
};

// Reads a server's counts. Each session reports its own when it ends or after it has been idle
// a while, so a figure is only whole once the sessions that made it have ended: settled()
// waits until the counts stop moving. The watch's own reads stay inside one open transaction,
// which the counts do not see until the watch ends.
class ServerWatch {
public:
    explicit ServerWatch(const QString& serverUrl);
    ServerCounts counts();
    ServerCounts settled();

private:
    PgSession session_;
};

// The process's peak resident memory since the last reset, in MB (Linux: VmHWM, reset by
// writing 5 to clear_refs). What the heap keeps free from earlier work goes back first, so
// that the next peak is the next step's own.
void resetPeakMemory();
double peakMemoryMB();

// "1.23 0.98 0.80" from /proc/loadavg.
QString loadAverage();
// Processors this process may run on (taskset), and those online.
int processorsAllowed();
int processorsOnline();

}  // namespace bench
