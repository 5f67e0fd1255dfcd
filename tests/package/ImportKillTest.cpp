// The host process dies (SIGKILL) in the middle of an import of 20,000 people: the store
// stays sound, every person in it is whole, and the next import completes the work. The
// import runs in a child process, `corvane import`, so this holds for any way of importing;
// strace kills it at a chosen call, so that the moment does not depend on the machine's pace.
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

    // Runs `corvane import` of the package, under strace when `inject` names a fault
    // ("pwrite64:signal=SIGKILL:when=300"; on the package's zip alone when `onZip`). Returns
    // the exit code, or -1 when it was killed.
    int run(const QString& inject = {}, bool onZip = false) {
        QProcess corvane;
        corvane.setProcessChannelMode(QProcess::MergedChannels);
        const QStringList args = {"import", "--settings",   dir_.path() + "/host.ini",
                                  "--db",   inst_.target(), "--package",
                                  zip_};
        if (inject.isEmpty()) {
            corvane.start(CV_CORVANE, args);
        } else {
            testhost::startUnderStrace(corvane, inject, CV_CORVANE, args, onZip ? zip_ : QString());
        }
        EXPECT_TRUE(corvane.waitForFinished(600000));
        output_ = corvane.readAll();
        return corvane.exitStatus() == QProcess::NormalExit ? corvane.exitCode() : -1;
    }
    // How many times the busiest thread of a whole import makes `call`.
    int calls(const QString& call) {
        const QString trace = dir_.path() + "/calls.txt";
        QProcess corvane;
        corvane.start("strace",
                      {"-f", "-o", trace, "-e", "trace=" + call, CV_CORVANE, "import", "--settings",
                       dir_.path() + "/host.ini", "--db", inst_.target(), "--package", zip_});
        EXPECT_TRUE(corvane.waitForFinished(600000));
        QFile file(trace);
        if (!file.open(QIODevice::ReadOnly)) return 0;
        QHash<QByteArray, int> byThread;
        for (const QByteArray& line : file.readAll().split('\n'))
            if (line.contains(call.toLatin1() + '(')) ++byThread[line.split(' ').value(0)];
        int most = 0;
        for (const int n : byThread) most = std::max(most, n);
        return most;
    }
    int stored() { return inst_.count("SELECT count(*) FROM CV_PersonInfo"); }
    void empty() {
        inst_.exec("DELETE FROM CV_PersonInfo");
        inst_.exec("DELETE FROM CV_DeptInfo");
    }

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
    if (!testhost::straceInjects()) GTEST_SKIP() << "strace cannot inject faults here (no ptrace)";
    KilledImport import;
    // The store's writes of a whole import into the empty store: the moments are counted in
    // them.
    const int writes = import.calls("pwrite64");
    ASSERT_EQ(import.stored(), People) << import.output().toStdString();
    ASSERT_GT(writes, 100);
    const auto at = [](const char* call, int when) {
        return QString("%1:signal=SIGKILL:when=%2").arg(call).arg(std::max(1, when));
    };
    const struct {
        const char* what;
        QString inject;
        bool onZip;      // the calls counted are those on the package's zip
        bool midway;     // some people stored and some not
        bool mayFinish;  // the last write may be the import's last
    } moments[] = {
        {"while the preview unpacks", at("read", 2), true, false, false},
        {"at the first write", at("pwrite64", 1), false, false, false},
        {"a fifth in", at("pwrite64", writes / 5), false, true, false},
        {"half-way", at("pwrite64", writes / 2), false, true, false},
        {"near the end", at("pwrite64", writes * 9 / 10), false, true, false},
        {"at the last write", at("pwrite64", writes), false, false, true},
    };
    for (const auto& m : moments) {
        SCOPED_TRACE(m.what);
        import.empty();
        const int result = import.run(m.inject, m.onZip);
        EXPECT_TRUE(result == -1 || (m.mayFinish && result == 0))
            << result << import.output().toStdString();
        const int now = import.stored();
        std::printf("killed %s: %d people stored\n", m.what, now);
        if (m.midway) {
            EXPECT_GT(now, 0);
            EXPECT_LT(now, People);
        }
        import.expectSound();
        EXPECT_EQ(import.run(), 0) << import.output().toStdString();
        EXPECT_EQ(import.stored(), People);
        import.expectSound();
    }
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
