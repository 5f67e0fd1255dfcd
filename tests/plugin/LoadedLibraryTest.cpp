// The real plug-in, loaded as the host loads it and called through its six exports.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <QProcess>
#include <QWidget>
#include <QStringList>

#include "CVPersonPackAPI.h"
#include "HostString.h"
#include "HostSettings.h"
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
    EXPECT_EQ(entry<CVPackage_ExportProc_t>("CVPackage_ExportProc")(app, nullptr, nullptr, 0,
                                                                    nullptr),
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

}  // namespace
