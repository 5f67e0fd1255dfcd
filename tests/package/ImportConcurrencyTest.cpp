// Imports running at the same time into one store, as two hosts (or two `corvane import`
// processes) do: the same package several times, and two packages whose people share login
// names and department paths. Whatever the interleaving, every person is stored once, no two
// imported people hold one login name, each department path is one department, and each
// process's summary counts what it did itself.
#include <gtest/gtest.h>

#include <QDir>
#include <QHash>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QSettings>
#include <QTemporaryDir>

#include "PackageTest.h"
#include "Packer.h"

namespace cv::test {
namespace {

constexpr int People = 20000;
constexpr int Departments = 5000;

struct Summary {
    int inserted = -1;
    int renamed = -1;
    int present = -1;
    int notStored = -1;
    int depts = -1;
};

class ImportConcurrencyTest : public ::testing::TestWithParam<std::uint8_t> {
public:
    ImportConcurrencyTest() : inst_(Content::Empty, GetParam()) {}

    // A package of `People` people, ids and logins from `prefix` and `loginPrefix`, in
    // `Departments` departments of three levels (the codes from `codeBase`, so that two
    // packages name the same paths by other codes).
    QString package(const QString& prefix, const QString& loginPrefix, int codeBase) {
        QList<QStringList> people;
        QList<QStringList> depts;
        for (int d = 0; d < Departments; ++d) {
            const QString code = QString("%1%2%3")
                                     .arg(d / 150 + codeBase, 4, 10, QChar('0'))
                                     .arg(d / 15 % 10 + 1, 4, 10, QChar('0'))
                                     .arg(d % 15 + 1, 4, 10, QChar('0'));
            depts << QStringList{
                code, QString("部%1_处%2_组%3").arg(d / 150).arg(d / 15 % 10).arg(d % 15)};
        }
        for (int i = 0; i < People; ++i)
            people << QStringList{prefix + QString::number(i),
                                  "人" + QString::number(i),
                                  "男",
                                  loginPrefix + QString::number(i % (People / 2)),
                                  depts[i % Departments][0],
                                  "",
                                  "pw"};
        const QString directory = dir_.path() + "/" + prefix + "/";
        QDir().mkpath(directory);
        writePackage(directory, people, depts);
        const QString zip = dir_.path() + "/" + prefix + ".zip";
        EXPECT_TRUE(cvhost::packDirectory(directory, zip));
        return zip;
    }

    // Starts `corvane import` of `zip`, with a temporary folder and log of its own.
    std::unique_ptr<QProcess> start(const QString& zip, int n) {
        const QString ini = dir_.path() + QString("/host%1.ini").arg(n);
        QSettings settings(ini, QSettings::IniFormat);
        settings.setValue("tempDir", dir_.path() + QString("/temp%1/").arg(n));
        settings.setValue("logFile", dir_.path() + QString("/host%1.log").arg(n));
        settings.setValue("packageVersion", "1");
        settings.sync();
        auto corvane = std::make_unique<QProcess>();
        corvane->setProcessChannelMode(QProcess::MergedChannels);
        corvane->start(CV_CORVANE,
                       {"import", "--settings", ini, "--db", inst_.target(), "--style",
                        GetParam() == 1 ? "networked" : "local", "--package", zip, "--all"});
        EXPECT_TRUE(corvane->waitForStarted());
        return corvane;
    }

    // Runs the imports of `zips` at once; answers each one's summary.
    QList<Summary> runAtOnce(const QStringList& zips) {
        std::vector<std::unique_ptr<QProcess>> running;
        for (int n = 0; n < zips.size(); ++n) running.push_back(start(zips[n], runs_++));
        QList<Summary> summaries;
        for (auto& corvane : running) {
            EXPECT_TRUE(corvane->waitForFinished(600000));
            const QString output = QString::fromUtf8(corvane->readAll());
            EXPECT_EQ(corvane->exitCode(), 0) << output.toStdString();
            static const QRegularExpression line(
                "summary: 人员导入结束: 新增 (\\d+) 人, 改名后新增 (\\d+) 人, 已存在 (\\d+) 人, "
                "未导入 (\\d+) 人, 新建部门 (\\d+) 个");
            const auto match = line.match(output);
            EXPECT_TRUE(match.hasMatch()) << output.toStdString();
            summaries.append({match.captured(1).toInt(), match.captured(2).toInt(),
                              match.captured(3).toInt(), match.captured(4).toInt(),
                              match.captured(5).toInt()});
        }
        return summaries;
    }

    // Every department path is one department; every login name one person.
    void expectSound() {
        QHash<QString, QString> names;
        for (const QString& row : inst_.rows("SELECT DeptID, DeptName FROM CV_DeptInfo"))
            names.insert(row.section('|', 0, 0), row.section('|', 1));
        QSet<QString> paths;
        for (auto it = names.cbegin(); it != names.cend(); ++it) {
            QStringList levels;
            for (qsizetype k = 4; k <= it.key().size(); k += 4)
                levels << names.value(it.key().left(k));
            const QString path = levels.join('_');
            EXPECT_FALSE(paths.contains(path)) << "two departments " << path.toStdString();
            paths.insert(path);
        }
        EXPECT_EQ(inst_.rows("SELECT LoginName FROM CV_PersonInfo GROUP BY LoginName "
                             "HAVING count(*) > 1"),
                  QStringList());
    }

    int count(const QString& sql) { return inst_.count(sql); }

private:
    QTemporaryDir dir_;
    testhost::Installation inst_;
    int runs_ = 0;
};
CV_BOTH_STYLES(ImportConcurrencyTest);

TEST_P(ImportConcurrencyTest, ImportsAtOnceStoreEveryPersonOnceAndCountTheirOwnWork) {
    const QString a = package("a", "user", 1);
    const QString b = package("b", "user", 5);  // other people, the same logins and paths

    struct Case {
        const char* what;
        QStringList zips;
        int stored;  // people in the store afterwards
    };
    const Case cases[] = {
        {"the same package twice at once", {a, a}, People},
        {"the same package four times at once, into a store that has it", {a, a, a, a}, People},
        {"two packages sharing login names and paths, twice each", {b, a, b, a}, 2 * People},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const int before = count("SELECT count(*) FROM CV_PersonInfo");
        const int deptsBefore = count("SELECT count(*) FROM CV_DeptInfo");
        const QList<Summary> summaries = runAtOnce(c.zips);
        EXPECT_EQ(count("SELECT count(*) FROM CV_PersonInfo"), c.stored);
        expectSound();
        int stored = 0;
        int depts = 0;
        for (const Summary& s : summaries) {
            EXPECT_EQ(s.inserted + s.renamed + s.present + s.notStored, People);
            EXPECT_EQ(s.notStored, 0);
            stored += s.inserted + s.renamed;
            depts += s.depts;
        }
        // What the processes say they stored is what the store gained.
        EXPECT_EQ(stored, c.stored - before);
        EXPECT_EQ(depts, count("SELECT count(*) FROM CV_DeptInfo") - deptsBefore);
    }
}

}  // namespace
}  // namespace cv::test
