// A PostgreSQL server of a test's own, started, crashed and restarted through the project's
// script (scripts/pgserver.sh): the run's server keeps serving other suites meanwhile.
#pragma once

#include <QFile>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

namespace testhost {

class PrivateServer {
public:
    PrivateServer() {
        script_ = qEnvironmentVariable("CV_SOURCE_DIR") + "/scripts/pgserver.sh";
        run("start");
        QFile file(dir_.filePath("url"));
        if (file.open(QIODevice::ReadOnly)) url_ = QString::fromUtf8(file.readAll()).trimmed();
    }
    ~PrivateServer() { run("stop"); }
    PrivateServer(const PrivateServer&) = delete;
    PrivateServer& operator=(const PrivateServer&) = delete;

    // Empty when the server did not start.
    const QString& url() const { return url_; }
    // Stops the server at once, as a crash would; its data stays.
    bool crash() { return run("crash"); }
    // Starts a crashed server again on its old port.
    bool restart() { return run("restart"); }

    // A process that waits until some session of the server sleeps in pg_sleep, then crashes
    // the server; it gives up after 30 seconds.
    void crashWhenASessionSleeps(QProcess& watcher) const {
        const QString loop =
            "for i in $(seq 600); do "
            "  n=$(psql \"$1\" -tAc \"SELECT count(*) FROM pg_stat_activity "
            "                       WHERE wait_event = 'PgSleep'\" 2>/dev/null); "
            "  if [ \"$n\" = 1 ]; then exec \"$2\" crash \"$3\"; fi; sleep 0.05; "
            "done; exit 1";
        watcher.start("bash", {"-c", loop, "watcher", url_, script_, dir_.path()});
        watcher.waitForStarted();
    }

private:
    bool run(const QString& command) {
        QProcess process;
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.setStandardOutputFile(QProcess::nullDevice());
        process.start(script_, {command, dir_.path()});
        return process.waitForFinished(120000) && process.exitCode() == 0;
    }

    QTemporaryDir dir_;
    QString script_;
    QString url_;
};

}  // namespace testhost
