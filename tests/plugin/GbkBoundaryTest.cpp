// Text at the boundary through the real plug-in's exports, as a host on code page 936 passes
// and receives it: paths holding the euro sign as the single byte 0x80, and login names that
// the host's code page cannot express at all.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QWidget>

#include "CVPersonPackAPI.h"
#include "Database.h"
#include "HostSettings.h"
#include "HostString.h"
#include "Packer.h"
#include "TestHost.h"
#include "TextCodec.h"

namespace {

using testhost::Installation;

class GbkBoundary : public ::testing::TestWithParam<std::uint8_t> {
protected:
    void SetUp() override {
        plugin_ = dlopen(CV_PLUGIN_FILE, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(plugin_, nullptr) << dlerror();
    }
    void TearDown() override { dlclose(plugin_); }

    template <typename F>
    F entry(const char* name) const {
        return reinterpret_cast<F>(dlsym(plugin_, name));
    }

    // Embeds, writes and frees; the directory that CVPackage_Export stored.
    QByteArray exportAll(Installation& from) {
        QObject* app = from.application();
        QWidget window;
        EXPECT_EQ(entry<CVPackage_ExportProc_t>("CVPackage_ExportProc")(app, nullptr, nullptr, 0,
                                                                        &window),
                  1);
        char* result = nullptr;
        entry<CVPackage_Export_t>("CVPackage_Export")(&result, app, nullptr, nullptr, 0);
        const QByteArray directory = cv::hostStringBytes(result);
        cv::hostStringClear(&result);
        entry<CVPackage_Free_t>("CVPackage_Free")(app, nullptr, nullptr, 0, 0);
        return directory;
    }

    // Embeds (every node ticked), imports and frees; the answers of the two calls.
    QString importAll(Installation& into, const QByteArray& argument) {
        QObject* app = into.application();
        QWidget window;
        const int shown = entry<CVPackage_ImportProc_t>("CVPackage_ImportProc")(
            app, nullptr, nullptr, 0, argument.constData(), &window);
        const int imported = shown == 1 ? entry<CVPackage_Import_t>("CVPackage_Import")(
                                              app, nullptr, nullptr, 0, argument.constData())
                                        : 0;
        entry<CVPackage_Free_t>("CVPackage_Free")(app, nullptr, nullptr, 0, 0);
        return QString("%1 %2").arg(shown).arg(imported);
    }

    void* plugin_ = nullptr;
};
CV_BOTH_STYLES(GbkBoundary);

void copyFiles(const QString& from, const QString& to) {
    QDir().mkpath(to);
    for (const QString& name : QDir(from).entryList(QDir::Files))
        ASSERT_TRUE(QFile::copy(from + '/' + name, to + '/' + name)) << name.toStdString();
}

TEST_P(GbkBoundary, APackagePathHoldingTheEuroSignAsByte0x80Imports) {
    QTemporaryDir packages;
    const QString root = packages.path() + '/';
    {
        Installation source(Installation::Content::SampleA, GetParam());
        const QString written = cv::fromGbk(exportAll(source));
        ASSERT_TRUE(written.endsWith("PerInfo/")) << written.toStdString();
        // The same package under a plain name and under a name with the euro sign, each as a
        // directory and packed; on disk the names are the file system's (UTF-8).
        for (const QString& name : {QStringLiteral("plain"), QStringLiteral("pkg€")}) {
            copyFiles(written, root + name);
            ASSERT_TRUE(cvhost::packDirectory(root + name + '/', root + name + ".zip"));
        }
    }
    const QByteArray gbkRoot = cv::toGbk(root);
    const struct {
        const char* form;
        int packageVersion;
        QByteArray suffix;
    } forms[] = {{"directory", 3, "/"}, {"packed", 1, ".zip"}};
    for (const auto& form : forms) {
        SCOPED_TRACE(form.form);
        QStringList stored[2];
        qsizetype before = 0;
        const QByteArray names[] = {"plain", "pkg\x80"};  // "pkg€" as code page 936 has it
        for (int i = 0; i < 2; ++i) {
            Installation target(Installation::Content::SampleB, GetParam());
            before = target.count("SELECT count(*) FROM CV_PersonInfo");
            cvhost::Settings::instance().set("packageVersion",
                                             QString::number(form.packageVersion));
            EXPECT_EQ(importAll(target, gbkRoot + names[i] + form.suffix), "1 1")
                << names[i].data();
            stored[i] = target.rows("SELECT PerUUID, PerDept FROM CV_PersonInfo ORDER BY PerUUID");
        }
        EXPECT_GE(stored[0].size(), before + 20);
        EXPECT_EQ(stored[1], stored[0]);
    }
}

// Login names holding the private-use characters that the host's code page cannot express
// (and a line feed), each clashing with a person already stored: every person is stored
// under a new login name, and each rename writes its line with the names escaped.
TEST_P(GbkBoundary, ClashingLoginNamesTheHostCannotExpressAreRenamedAndLoggedEach) {
    QStringList logins;
    for (const char16_t c : {0xE78D, 0xE78E, 0xE78F, 0xE790, 0xE791, 0xE792, 0xE793, 0xE794,
                             0xE795, 0xE796, 0xE816, 0xE817, 0xE818, 0xE81E, 0xE826, 0xE82B,
                             0xE82C, 0xE831, 0xE832, 0xE83B, 0xE843, 0xE854, 0xE855, 0xE864})
        logins << QStringLiteral("登录") + QChar(c);
    logins << QStringLiteral("two\nlines");
    auto addPeople = [&](Installation& into, const QString& prefix) {
        into.exec("INSERT INTO CV_DeptInfo(DeptID, DeptName, DeptMemo) VALUES('0001', '总部', '')");
        for (int i = 0; i < logins.size(); ++i)
            into.exec(
                "INSERT INTO CV_PersonInfo(PerUUID, PerName, PerSex, LoginName, PerDept, "
                "UPassword, PrjID) VALUES(" +
                cv::sqlQuote(prefix + QString::number(i)) + ", '人', '男', " +
                cv::sqlQuote(logins[i]) + ", '0001', 'pw', 1)");
    };

    QTemporaryDir packages;
    const QString package = packages.path() + "/package";
    {
        Installation source(Installation::Content::Empty, GetParam());
        addPeople(source, "NEW");
        copyFiles(cv::fromGbk(exportAll(source)), package);
    }
    Installation target(Installation::Content::Empty, GetParam());
    addPeople(target, "OLD");
    cvhost::Settings::instance().set("packageVersion", "3");
    ASSERT_EQ(importAll(target, cv::toGbk(package + '/')), "1 1");

    QFile log(target.logFile());
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    QStringList renameLines;
    for (const QByteArray& line : log.readAll().split('\n')) {
        const QString message = QString::fromUtf8(line).section('\t', 6);
        if (message.startsWith(QStringLiteral("要导入的注册名"))) renameLines << message;
    }
    QStringList expectedLines;
    for (int i = 0; i < logins.size(); ++i) {
        SCOPED_TRACE(i);
        const QString renamed = target.scalar("SELECT LoginName FROM CV_PersonInfo WHERE PerUUID=" +
                                              cv::sqlQuote("NEW" + QString::number(i)));
        EXPECT_TRUE(renamed.startsWith(logins[i]) && renamed != logins[i]) << renamed.toStdString();
        expectedLines << QStringLiteral("要导入的注册名") + cv::logSafeText(logins[i]) +
                             QStringLiteral("已经存在,已经被改为") + cv::logSafeText(renamed);
    }
    renameLines.sort();
    expectedLines.sort();
    EXPECT_EQ(renameLines, expectedLines);
    EXPECT_TRUE(expectedLines.join('\n').contains("登录\\uE864已经存在")) << "not escaped";
    EXPECT_EQ(target.count("SELECT count(*) FROM CV_PersonInfo"), 2 * logins.size());
}

}  // namespace
