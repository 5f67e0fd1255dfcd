// The real plug-in, loaded as the host loads it and called through its six exports.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QWidget>
#include <functional>

#include "CVPersonPackAPI.h"
#include "HostSettings.h"
#include "HostString.h"
#include "Packer.h"
#include "TestHost.h"

namespace {

class LoadedLibrary : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        handle = dlopen(CV_PLUGIN_FILE, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle, nullptr) << dlerror();
    }
    static void TearDownTestSuite() {
        if (handle) dlclose(handle);
        handle = nullptr;
    }
    template <typename F>
    static F entry(const char* name) {
        return reinterpret_cast<F>(dlsym(handle, name));
    }
    static inline void* handle = nullptr;
};

TEST_F(LoadedLibrary, ExportsExactlyTheSixEntryPoints) {
    QProcess nm;
    nm.start("nm", {"-D", "--defined-only", CV_PLUGIN_FILE});
    ASSERT_TRUE(nm.waitForFinished());
    QStringList names;
    for (const QByteArray& line : nm.readAllStandardOutput().split('\n'))
        if (!line.trimmed().isEmpty()) names << QString(line.trimmed().split(' ').last());
    names.sort();
    EXPECT_EQ(names, QStringList({"CVPackage_Export", "CVPackage_ExportProc", "CVPackage_Free",
                                  "CVPackage_Import", "CVPackage_ImportProc", "CVPackage_View"}));
}

TEST_F(LoadedLibrary, FreeWithoutFrameAnswersOneEveryTime) {
    testhost::Installation installation;
    auto freeFrame = entry<CVPackage_Free_t>("CVPackage_Free");
    ASSERT_NE(freeFrame, nullptr);
    EXPECT_EQ(freeFrame(installation.application(), nullptr, nullptr, 0, 0), 1);
    EXPECT_EQ(freeFrame(installation.application(), nullptr, nullptr, 0, 0), 1);
}

TEST_F(LoadedLibrary, ExportStoresAFreshHeapStringAndReleasesThePreviousValue) {
    testhost::Installation installation;
    cvhost::Settings::instance().set("db", "");  // no connection: the store check fails
    auto exportPackage = entry<CVPackage_Export_t>("CVPackage_Export");
    ASSERT_NE(exportPackage, nullptr);

    char* previous = cv::hostStringNew("earlier result");
    char* var = nullptr;
    cv::hostStringAssign(&var, previous);  // the host keeps a second reference
    ASSERT_EQ(cv::hostStringRefCount(previous), 2);

    char* answer = exportPackage(&var, installation.application(), nullptr, nullptr, 0);
    EXPECT_EQ(answer, var);
    EXPECT_EQ(cv::hostStringBytes(var), " ");
    EXPECT_EQ(cv::hostStringRefCount(var), 1);
    EXPECT_EQ(cv::hostStringRefCount(previous), 1);  // released once by the store
    cv::hostStringRelease(previous);
    cv::hostStringClear(&var);
}

TEST_F(LoadedLibrary, EveryOperationFailsCleanlyWhenTheStoreIsNotUsable) {
    testhost::Installation installation;
    cvhost::Settings::instance().set("db", "");
    QObject* app = installation.application();
    EXPECT_EQ(entry<CVPackage_View_t>("CVPackage_View")(app, nullptr, nullptr, 0), -1);
    EXPECT_EQ(
        entry<CVPackage_ExportProc_t>("CVPackage_ExportProc")(app, nullptr, nullptr, 0, nullptr),
        -1);
    EXPECT_EQ(entry<CVPackage_ImportProc_t>("CVPackage_ImportProc")(app, nullptr, nullptr, 0,
                                                                    "x.zip", nullptr),
              -1);
    EXPECT_EQ(entry<CVPackage_Import_t>("CVPackage_Import")(app, nullptr, nullptr, 0, "x.zip"), -1);
    // Text that is not GBK is refused, not guessed at.
    EXPECT_EQ(entry<CVPackage_Import_t>("CVPackage_Import")(app, nullptr, nullptr, 0, "\xff\xff"),
              -1);
}

TEST_F(LoadedLibrary, ExportsAdoptTheHostsApplicationObjectAndKeepOneFrame) {
    testhost::Installation installation(testhost::Installation::Content::SampleA);
    QObject* app = installation.application();
    auto exportProc = entry<CVPackage_ExportProc_t>("CVPackage_ExportProc");
    auto freeFrame = entry<CVPackage_Free_t>("CVPackage_Free");

    char* var = nullptr;
    entry<CVPackage_Export_t>("CVPackage_Export")(&var, app, nullptr, nullptr, 0);
    EXPECT_EQ(cv::hostStringBytes(var), "-2");  // no frame
    EXPECT_EQ(cv::hostStringRefCount(var), 1);
    cv::hostStringClear(&var);
    // The store check ran under the application object the host passed.
    EXPECT_NE(app->findChild<QObject*>("DM_PersonPack", Qt::FindDirectChildrenOnly), nullptr);

    QWidget hostWindow;
    EXPECT_EQ(exportProc(app, nullptr, nullptr, 0, &hostWindow), 1);
    EXPECT_EQ(exportProc(app, nullptr, nullptr, 0, &hostWindow), -1);  // "FramePerson" is taken
    EXPECT_EQ(hostWindow.findChildren<QWidget*>("FramePerson").size(), 1);
    EXPECT_EQ(freeFrame(app, nullptr, nullptr, 0, 0), 1);
    EXPECT_TRUE(hostWindow.findChildren<QWidget*>("FramePerson").isEmpty());
    EXPECT_EQ(exportProc(app, nullptr, nullptr, 0, &hostWindow), 1);
    EXPECT_EQ(freeFrame(app, nullptr, nullptr, 0, 0), 1);
}

// The messages of the host's log file.
QStringList logMessages(const QString& logFile) {
    QFile file(logFile);
    QStringList messages;
    if (file.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : file.readAll().split('\n'))
            if (!line.isEmpty()) messages << QString::fromUtf8(line).section('\t', 6);
    }
    return messages;
}

void writeFile(const QString& path, const QByteArray& content) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_EQ(file.write(content), content.size());
}

// A data packet of string fields with one row of `values`, and an export's mark if given.
QByteArray packet(const QList<QByteArray>& fields, const QList<QByteArray>& values,
                  const QByteArray& mark = {}) {
    QByteArray text =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<DATAPACKET Version=\"2.0\">"
        "<METADATA><FIELDS>";
    for (const QByteArray& field : fields)
        text += "<FIELD attrname=\"" + field + "\" fieldtype=\"string\"/>";
    text += "</FIELDS><PARAMS/></METADATA><ROWDATA><ROW";
    for (qsizetype i = 0; i < fields.size(); ++i) text += ' ' + fields[i] + "=\"" + values[i] + '"';
    text += "/></ROWDATA></DATAPACKET>\n";
    if (!mark.isEmpty()) text += "<?cvpersonpack export=\"" + mark + "\"?>\n";
    return text;
}

// A packed package of one person in one department, its files as `change` leaves them.
QString packedPackage(const QString& folder, const std::function<void(const QString&)>& change) {
    const QString directory = folder + "PerInfo/";
    writeFile(directory + "perinfo.per",
              packet({"PerUUID", "PerName", "PerSex", "LoginName", "PerDept"},
                     {"p1", "Name", "F", "login1", "0001"}, "ab12"));
    writeFile(directory + "deptinfo.per",
              packet({"DeptID", "DeptName", "DeptMemo"}, {"0001", "Dept", ""}, "ab12"));
    change(directory);
    const QString zip = folder + "package.zip";
    EXPECT_TRUE(cvhost::packDirectory(directory, zip));
    return zip;
}

// Every failure answer of the preview, the selection frame, the export and the import preview
// leaves exactly one line in the host's log: the operation's head, then why.
TEST_F(LoadedLibrary, EveryFailureLeavesOneLineSayingWhy) {
    using Installation = testhost::Installation;
    const auto noStore = [](Installation&) {
        cvhost::Settings::instance().set("db", "");
        cvhost::closeConnections();
    };
    const auto noTables = [](Installation& inst) { inst.exec("DROP TABLE CV_DeptInfo"); };
    const auto view = [](QObject* app, const QString&) {
        return entry<CVPackage_View_t>("CVPackage_View")(app, nullptr, nullptr, 0) == -1;
    };
    const auto select = [](QObject* app, const QString&) {
        QWidget window;
        return entry<CVPackage_ExportProc_t>("CVPackage_ExportProc")(app, nullptr, nullptr, 0,
                                                                     &window) == -1;
    };
    const auto selectTwice = [&](QObject* app, const QString& argument) {
        QWidget window;
        EXPECT_EQ(entry<CVPackage_ExportProc_t>("CVPackage_ExportProc")(app, nullptr, nullptr, 0,
                                                                        &window),
                  1);
        const bool failed = select(app, argument);
        entry<CVPackage_Free_t>("CVPackage_Free")(app, nullptr, nullptr, 0, 0);
        return failed;
    };
    const auto exportAfter = [](const std::function<void()>& between) {
        return [between](QObject* app, const QString&) {
            QWidget window;
            EXPECT_EQ(entry<CVPackage_ExportProc_t>("CVPackage_ExportProc")(app, nullptr, nullptr,
                                                                            0, &window),
                      1);
            between();
            char* result = nullptr;
            entry<CVPackage_Export_t>("CVPackage_Export")(&result, app, nullptr, nullptr, 0);
            const QByteArray answer = cv::hostStringBytes(result);
            cv::hostStringClear(&result);
            entry<CVPackage_Free_t>("CVPackage_Free")(app, nullptr, nullptr, 0, 0);
            return answer == " " || answer == "-3";
        };
    };
    const auto preview = [](QObject* app, const QString& argument) {
        QWidget window;
        const QByteArray bytes =
            argument.startsWith("bytes:") ? argument.sliced(6).toLatin1() : argument.toUtf8();
        const bool failed = entry<CVPackage_ImportProc_t>("CVPackage_ImportProc")(
                                app, nullptr, nullptr, 0, bytes.constData(), &window) == -1;
        entry<CVPackage_Free_t>("CVPackage_Free")(app, nullptr, nullptr, 0, 0);
        return failed;
    };
    QTemporaryDir dir;
    const QString root = dir.path() + '/';
    const auto package = [&](const char* name, const std::function<void(const QString&)>& change) {
        return packedPackage(root + name + '/', change);
    };
    // A zip whose first entry's compressed bytes are damaged.
    const QString damaged = package("damaged", [](const QString&) {});
    {
        QFile zip(damaged);
        ASSERT_TRUE(zip.open(QIODevice::ReadWrite));
        QByteArray bytes = zip.readAll();
        const int dataStart = 30 + uchar(bytes[26]) + 256 * uchar(bytes[27]) + uchar(bytes[28]) +
                              256 * uchar(bytes[29]);
        bytes[dataStart + 4] = char(bytes[dataStart + 4] ^ 0x5A);
        zip.seek(0);
        zip.write(bytes);
    }
    const QString overLimit = package("over", [](const QString& d) {
        writeFile(d + "perinfo.per",
                  packet({"PerUUID", "PerMemo"}, {"p1", QByteArray(10500000, 'x')}, "ab12"));
    });
    const QString twoExports = package("two", [](const QString& d) {
        writeFile(d + "deptinfo.per",
                  packet({"DeptID", "DeptName", "DeptMemo"}, {"0001", "Dept", ""}, "cd34"));
    });
    const QString noPerDept = package("noperdept", [](const QString& d) {
        writeFile(d + "perinfo.per", packet({"PerUUID", "PerName"}, {"p1", "Name"}, "ab12"));
    });
    const QString good = package("good", [](const QString&) {});

    struct Case {
        const char* what;
        std::function<void(Installation&)> arrange;
        std::function<bool(QObject*, const QString&)> fail;  // true when it answered failure
        QString argument;
        QString line;  // how the line begins
    };
    const auto nothing = [](Installation&) {};
    const Case cases[] = {
        {"preview, no store", noStore, view, {}, "人员预览失败: 主机没有提供"},
        {"preview, no department table", noTables, view, {}, "人员预览失败: 无法从数据库读取"},
        {"selection, no store", noStore, select, {}, "人员选择失败: 主机没有提供"},
        {"selection, no department table",
         noTables,
         select,
         {},
         "人员选择失败: 无法从数据库读取部门和人员: "},
        {"selection, a frame not freed",
         nothing,
         selectTwice,
         {},
         "人员选择失败: 上一个人员选择框架还没有释放"},
        {"export, the store gone after the selection",
         nothing,
         exportAfter([] {
             cvhost::Settings::instance().set("db", "");
             cvhost::closeConnections();
         }),
         {},
         "人员包未写出: 主机没有提供"},
        {"export, the package directory is a file",
         nothing,
         exportAfter([] {
             QFile file(cvhost::Settings::instance().value("packageDir") + "PerInfo");
             file.open(QIODevice::WriteOnly);
         }),
         {},
         "人员包未写出: "},
        {"import preview, no store", noStore, preview, good, "人员包无法预览: 主机没有提供"},
        {"import preview, no such file", nothing, preview, root + "missing.zip",
         "人员包无法预览: 无法解压人员包"},
        {"import preview, a damaged zip entry", nothing, preview, damaged,
         "人员包无法预览: 无法解压人员包"},
        {"import preview, a row over the reader's limit", nothing, preview, overLimit,
         "人员包无法预览: 无法读取 perinfo.per: not a data packet"},
        {"import preview, files of two exports", nothing, preview, twoExports,
         "人员包无法预览: 人员包的 perinfo.per 和 deptinfo.per 不是同一次导出写出的"},
        {"import preview, a person file without PerDept", nothing, preview, noPerDept,
         "人员包无法预览: the person file has no field PerDept"},
        {"import preview, a path that is not GBK", nothing, preview,
         QString::fromLatin1("bytes:pkg\x81"), "人员包无法预览: 人员包的路径不是 GBK 文本"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Installation installation(Installation::Content::SampleA);
        c.arrange(installation);
        EXPECT_TRUE(c.fail(installation.application(), c.argument));
        const QStringList lines = logMessages(installation.logFile());
        ASSERT_EQ(lines.size(), 1) << lines.join('\n').toStdString();
        EXPECT_TRUE(lines[0].startsWith(c.line)) << lines[0].toStdString();
    }
}

// The host prints the line of each failure beside the answer.
TEST(CorvanePrints, TheLineOfEachFailure) {
    testhost::Installation installation(testhost::Installation::Content::SampleA);
    QTemporaryDir dir;
    const QString ini = dir.filePath("host.ini");
    writeFile(ini, "[host]\npackageDir=" + dir.filePath("pkg").toUtf8() +
                       "\ntempDir=" + dir.filePath("temp").toUtf8() +
                       "\nlogFile=" + dir.filePath("host.log").toUtf8() + '\n');
    writeFile(dir.filePath("pkg/PerInfo"), "a file where the package directory belongs");
    const QString db = installation.target();
    const struct {
        QStringList arguments;
        const char* printed;
    } cases[] = {
        {{"import", "--package", dir.filePath("missing.zip")},
         "log: 人员包无法预览: 无法解压人员包"},
        {{"export", "--package", dir.filePath("out.zip")}, "log: 人员包未写出: "},
        {{"view"}, "log: 人员预览失败: 无法从数据库读取部门和人员"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments.join(' ').toStdString());
        if (c.arguments[0] == "view") installation.exec("DROP TABLE CV_DeptInfo");
        QProcess corvane;
        corvane.setProcessChannelMode(QProcess::MergedChannels);
        corvane.start(CV_CORVANE, c.arguments + QStringList{"--settings", ini, "--db", db});
        ASSERT_TRUE(corvane.waitForFinished(120000));
        const QString output = QString::fromUtf8(corvane.readAll());
        EXPECT_EQ(corvane.exitCode(), 1) << output.toStdString();
        EXPECT_EQ(output.count("log: "), 1) << output.toStdString();
        EXPECT_TRUE(output.contains(c.printed)) << output.toStdString();
    }
}

}  // namespace
