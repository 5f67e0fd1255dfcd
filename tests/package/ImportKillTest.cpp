// The host process dies (SIGKILL) in the middle of an import of 20,000 people: the store
// stays sound, every person in it is whole, and the next import completes the work. The
// import runs in a child process, `corvane import`, so this holds for any way of importing.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>
#include <cstdio>

#include "PackageTest.h"
#include "Packer.h"

namespace cv::test {
namespace {

constexpr int People = 20000;

struct PackagePerson {
    QString row;   // PerName|PerSex|PerMemo|LoginName|UPassword as the store returns them
    QString path;  // of the person's department; empty for none
};

class KilledImport {
public:
    KilledImport() : inst_(Content::Empty, 2, QString()) {
        QList<QStringList> people;
        QList<QStringList> depts;
        QHash<QString, QString> paths;
        for (int d = 0; d < 250; ++d) {
            const QString code = QString("%1%2")
                                     .arg(d / 10 + 1, 4, 10, QChar('0'))
                                     .arg(d % 10 + 1, 4, 10, QChar('0'));
            const QString path = QString("部门%1_组%2").arg(d / 10).arg(d % 10);
            depts << QStringList{code, path};
            paths.insert(code, path);
        }
        for (int i = 0; i < People; ++i) {
            const QString id = QString("k%1").arg(i, 5, 10, QChar('0'));
            const QString dept = i % 97 == 0 ? "<null>" : depts[i % 250][0];
            const QString memo = i % 3 ? QString("备注 %1 ").arg(i).repeated(1 + i % 5) : "<null>";
            const QStringList person{id,
                                     "人" + QString::number(i),
                                     i % 2 ? "男" : "女",
                                     "login" + QString::number(i),
                                     dept,
                                     memo,
                                     "pw" + QString::number(i * 7)};
            people << person;
            expected_.insert(id, {QStringList{person[1], person[2], memo == "<null>" ? "" : memo,
                                              person[3], person[6]}
                                      .join('|'),
                                  paths.value(dept)});
        }
        const QString directory = dir_.path() + "/PerInfo/";
        QDir().mkpath(directory);
        writePackage(directory, people, depts);
        zip_ = dir_.path() + "/people.zip";
        EXPECT_TRUE(cvhost::packDirectory(directory, zip_));

        QSettings ini(dir_.path() + "/host.ini", QSettings::IniFormat);
        ini.setValue("tempDir", inst_.tempDir());
        ini.setValue("logFile", inst_.logFile());
        ini.setValue("packageVersion", "1");
        ini.sync();
    }

    // Starts `corvane import` of the package; `stop` decides, polled every 20 ms with the
    // number of people stored, when to kill it (never: it runs to its end). Returns the exit
    // code, or -1 when it was killed.
    int run(const std::function<bool(int stored, qint64 ms)>& stop) {
        QProcess corvane;
        corvane.setProcessChannelMode(QProcess::MergedChannels);
        corvane.start(CV_CORVANE, {"import", "--settings", dir_.path() + "/host.ini", "--db",
                                   inst_.target(), "--package", zip_});
        EXPECT_TRUE(corvane.waitForStarted());
        QElapsedTimer clock;
        clock.start();
        while (!corvane.waitForFinished(20)) {
            if (clock.elapsed() > 600000) break;
            if (stop(stored(), clock.elapsed())) {
                ::kill(pid_t(corvane.processId()), SIGKILL);
                corvane.waitForFinished();
                return -1;
            }
        }
        output_ = corvane.readAll();
        return corvane.exitStatus() == QProcess::NormalExit ? corvane.exitCode() : -2;
    }
    int stored() { return inst_.count("SELECT count(*) FROM CV_PersonInfo"); }

    // The store is sound, every person whole, each department path stored once.
    void expectSound() {
        EXPECT_EQ(inst_.rows("PRAGMA integrity_check"), QStringList({"ok"}));
        QHash<QString, QString> names;
        for (const QString& row : inst_.rows("SELECT DeptID, DeptName FROM CV_DeptInfo"))
            names.insert(row.section('|', 0, 0), row.section('|', 1));
        QHash<QString, QString> codeOfPath;
        auto pathOf = [&](const QString& code) {
            QStringList levels;
            for (qsizetype k = 4; k <= code.size(); k += 4) levels << names.value(code.left(k));
            return levels.join('_');
        };
        for (auto it = names.begin(); it != names.end(); ++it) {
            const QString path = pathOf(it.key());
            EXPECT_FALSE(codeOfPath.contains(path)) << "two departments " << path.toStdString();
            codeOfPath.insert(path, it.key());
        }
        int checked = 0;
        for (const QString& row : inst_.rows("SELECT PerUUID, PerName, PerSex, PerMemo, "
                                             "LoginName, UPassword, PerDept FROM CV_PersonInfo")) {
            const QStringList v = row.split('|');
            const PackagePerson& person = expected_[v[0]];
            if (v.mid(1, 5).join('|') != person.row || pathOf(v[6]) != person.path) {
                ADD_FAILURE() << "not whole: " << row.toStdString();
                if (++checked > 5) return;
            }
        }
    }
    const QByteArray& output() const { return output_; }
    QString tempDir() const { return inst_.tempDir(); }
    QString zip() const { return zip_; }
    QString settings() const { return dir_.path() + "/host.ini"; }
    QString target() const { return inst_.target(); }

private:
    QTemporaryDir dir_;
    testhost::Installation inst_;
    QString zip_;
    QHash<QString, PackagePerson> expected_;
    QByteArray output_;
};

TEST(ImportKillTest, AKilledImportLeavesEveryPersonWholeOrAbsentAndTheNextCompletesIt) {
    if (testdb::onPostgres()) GTEST_SKIP() << "runs on an SQLite store";
    KilledImport import;
    struct Moment {
        const char* what;
        std::function<bool(int, qint64)> stop;
        bool mayFinish = false;  // the last steps may be quicker than the polling
    };
    const Moment moments[] = {
        {"while the preview unpacks and reads", [](int, qint64 ms) { return ms > 300; }},
        {"at the first person", [](int n, qint64) { return n >= 1; }},
        {"a fifth in", [](int n, qint64) { return n >= People / 5; }},
        {"half-way", [](int n, qint64) { return n >= People / 2; }},
        {"near the end", [](int n, qint64) { return n >= People - 50; }},
        {"after the last person", [](int n, qint64) { return n >= People; }, true},
    };
    int before = 0;
    for (const Moment& m : moments) {
        SCOPED_TRACE(m.what);
        const int result = import.run(m.stop);
        EXPECT_TRUE(result == -1 || (m.mayFinish && result == 0))
            << result << import.output().toStdString();
        const int now = import.stored();
        std::printf("killed %s: %d people stored\n", m.what, now);
        EXPECT_GE(now, before);
        before = now;
        import.expectSound();
    }
    EXPECT_EQ(import.run([](int, qint64) { return false; }), 0) << import.output().toStdString();
    EXPECT_EQ(import.stored(), People);
    import.expectSound();
    // What the killed imports unpacked went with the one that completed.
    EXPECT_EQ(QDir(import.tempDir() + "XTGL/")
                  .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList());
}

// Starts `corvane import` of `zip` into `store` with the host settings `ini`, behind `prefix`
// (a command that runs it, such as unshare).
std::unique_ptr<QProcess> startImport(const QStringList& prefix, const QString& ini,
                                      const QString& store, const QString& zip) {
    auto process = std::make_unique<QProcess>();
    process->setProcessChannelMode(QProcess::MergedChannels);
    const QStringList corvane = {CV_CORVANE, "import", "--settings", ini,
                                 "--db",     store,    "--package",  zip};
    const QStringList command = prefix + corvane;
    process->start(command.first(), command.mid(1));
    EXPECT_TRUE(process->waitForStarted());
    return process;
}

// The unpacking folder whose name begins with `prefix`, once it holds the person file.
QString waitForFolder(const QString& temp, const QString& prefix, QProcess& reader) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 60000 && reader.state() == QProcess::Running) {
        for (const QString& name : QDir(temp).entryList({prefix + '*'}, QDir::Dirs))
            if (QFile::exists(temp + name + "/perinfo.per")) return temp + name;
        QThread::msleep(2);
    }
    return {};
}

// Readers in other PID namespaces share the temporary directory: a reader never removes an
// unpacking that its reader still holds, whatever pids it can see, and removes every one
// whose reader is gone, whatever pid its name gives (1 for a reader killed as the first
// process of a namespace, or the pid of an unrelated process that lives).
TEST(ImportKillTest, ReadersInOtherPidNamespacesRemoveExactlyTheAbandonedUnpackings) {
    if (testdb::onPostgres()) GTEST_SKIP() << "runs on an SQLite store";
    if (QProcess::execute("unshare", {"-p", "-f", "true"}) != 0)
        GTEST_SKIP() << "unshare -p is not allowed here (it needs root)";
    KilledImport package;
    const QString temp = package.tempDir() + "XTGL/";
    // Each reader imports into a store of its own, all with the same temporary directory.
    // A reader outside, stopped while it holds its unpacking.
    auto outside = startImport({}, package.settings(), package.target(), package.zip());
    const QString held =
        waitForFolder(temp, QString("CVPersonPack-%1-").arg(outside->processId()), *outside);
    ASSERT_FALSE(held.isEmpty()) << outside->readAll().toStdString();
    ::kill(pid_t(outside->processId()), SIGSTOP);

    // A reader that is the first process of a namespace of its own, killed while it reads:
    // unshare kills it (SIGKILL) when unshare itself is killed.
    testhost::Installation killedStore(Content::Empty, 2, QString());
    auto killed = startImport({"unshare", "-p", "-f", "--kill-child"}, package.settings(),
                              killedStore.target(), package.zip());
    const QString abandoned = waitForFolder(temp, "CVPersonPack-1-", *killed);
    ASSERT_FALSE(abandoned.isEmpty()) << killed->readAll().toStdString();
    ::kill(pid_t(killed->processId()), SIGKILL);
    killed->waitForFinished();
    QThread::msleep(100);  // the child goes with its parent

    // An unpacking named after a process that lives (this one) but holds nothing there.
    const QString misnamed = temp + QString("CVPersonPack-%1-zzzzzz").arg(getpid());
    QDir().mkpath(misnamed);

    // A reader in a namespace of its own runs to its end meanwhile.
    testhost::Installation innerStore(Content::Empty, 2, QString());
    auto inside = startImport({"unshare", "-p", "-f"}, package.settings(), innerStore.target(),
                              package.zip());
    ASSERT_TRUE(inside->waitForFinished(600000));
    EXPECT_EQ(inside->exitCode(), 0) << inside->readAll().toStdString();

    const struct {
        const char* what;
        QString folder;
        bool kept;
    } folders[] = {
        {"held by a stopped reader outside the namespace", held, true},
        {"left by a reader killed as pid 1 of a namespace", abandoned, false},
        {"named after a living process that does not hold it", misnamed, false},
    };
    for (const auto& f : folders) EXPECT_EQ(QFileInfo::exists(f.folder), f.kept) << f.what;

    // The reader outside goes on and imports everyone.
    ::kill(pid_t(outside->processId()), SIGCONT);
    ASSERT_TRUE(outside->waitForFinished(600000));
    EXPECT_EQ(outside->exitCode(), 0) << outside->readAll().toStdString();
    EXPECT_EQ(package.stored(), People);
}

}  // namespace
}  // namespace cv::test
