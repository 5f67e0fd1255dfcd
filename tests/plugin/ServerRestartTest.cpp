// The database server restarts under a living host: while it is down every call answers
// failure, and once it is back, opening the installation again in the same process works,
// with the plug-in's data module following the connection the host makes afresh.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <QWidget>

#include "CVPersonPackAPI.h"
#include "ConnectionBroker.h"
#include "Database.h"
#include "HostSettings.h"
#include "HostString.h"
#include "PrivateServer.h"
#include "TestHost.h"

namespace {

struct Plugin {
    Plugin() : handle(dlopen(CV_PLUGIN_FILE, RTLD_NOW | RTLD_LOCAL)) {}
    ~Plugin() {
        if (handle) dlclose(handle);
    }
    template <typename F>
    F entry(const char* name) const {
        return reinterpret_cast<F>(dlsym(handle, name));
    }

    // One export conversation: embed, write, free. The text that CVPackage_Export stored, or
    // "embed failed".
    QByteArray exportAll(QObject* app, QWidget* window) const {
        const int embedded =
            entry<CVPackage_ExportProc_t>("CVPackage_ExportProc")(app, nullptr, nullptr, 0, window);
        QByteArray answer = "embed failed";
        if (embedded == 1) {
            char* result = nullptr;
            entry<CVPackage_Export_t>("CVPackage_Export")(&result, app, nullptr, nullptr, 0);
            answer = cv::hostStringBytes(result);
            cv::hostStringClear(&result);
        }
        entry<CVPackage_Free_t>("CVPackage_Free")(app, nullptr, nullptr, 0, 0);
        return answer;
    }
    // One import conversation: embed, import, free. The import's answer, or the embedding's
    // when that failed.
    int importAll(QObject* app, QWidget* window, const QByteArray& package) const {
        int answer = entry<CVPackage_ImportProc_t>("CVPackage_ImportProc")(
            app, nullptr, nullptr, 0, package.constData(), window);
        if (answer == 1)
            answer = entry<CVPackage_Import_t>("CVPackage_Import")(app, nullptr, nullptr, 0,
                                                                   package.constData());
        entry<CVPackage_Free_t>("CVPackage_Free")(app, nullptr, nullptr, 0, 0);
        return answer;
    }

    void* handle;
};

// The host's own connection for the settings' store, as the host asks for it when the user
// opens an installation: null, or one that answers.
bool hostConnectionAnswers(std::uint8_t style) {
    if (style == 2) return cvhost::baseConnection() && cvhost::baseConnection()->connected();
    return cvhost::connectionBroker() && cvhost::connectionBroker()->connected();
}

TEST(ServerRestart, CallsFailWhileTheServerIsDownAndReopeningWorksAfterItRestarts) {
    if (!testdb::onPostgres()) GTEST_SKIP() << "runs with the suites on PostgreSQL";
    const Plugin plugin;
    ASSERT_NE(plugin.handle, nullptr) << dlerror();
    testhost::PrivateServer server;
    ASSERT_FALSE(server.url().isEmpty());

    for (const std::uint8_t style : {std::uint8_t{2}, std::uint8_t{1}}) {
        SCOPED_TRACE(style == 2 ? "local" : "networked");
        using testhost::Installation;
        Installation installation(Installation::Content::SampleA, style, server.url());
        cvhost::Settings::instance().set("packageVersion", "3");
        QObject* app = installation.application();
        QWidget hostWindow;
        const QByteArray package = QFile::encodeName(installation.packageDir() + "PerInfo/");
        ASSERT_EQ(plugin.exportAll(app, &hostWindow), package);
        const int people = installation.count("SELECT count(*) FROM CV_PersonInfo");

        ASSERT_TRUE(server.crash());
        for (int attempt = 0; attempt < 2; ++attempt) {
            EXPECT_EQ(plugin.exportAll(app, &hostWindow), "embed failed");
            EXPECT_EQ(plugin.importAll(app, &hostWindow, package), -1);
            char* result = nullptr;
            plugin.entry<CVPackage_Export_t>("CVPackage_Export")(&result, app, nullptr, nullptr, 0);
            EXPECT_EQ(cv::hostStringBytes(result), " ");
            cv::hostStringClear(&result);
            EXPECT_FALSE(hostConnectionAnswers(style));
        }

        ASSERT_TRUE(server.restart());
        // Opening the installation again, as the host's window does it: the settings name the
        // store, and the host asks for its connection.
        cvhost::Settings::instance().set("db", installation.target());
        EXPECT_TRUE(hostConnectionAnswers(style));
        // The same application object, so the same data module, which follows the host.
        EXPECT_EQ(plugin.exportAll(app, &hostWindow), package);
        // Writes go through the new connection too: two people removed behind the plug-in's
        // back come back with the package.
        auto check = cv::Connection::open(installation.target());
        cv::Command remove(check.get());
        remove.setCommandText("DELETE FROM CV_PersonInfo WHERE PerDept = '00010002'");
        remove.execute();
        EXPECT_EQ(plugin.importAll(app, &hostWindow, package), 1);
        cv::Query count(check.get());
        count.setCommandText("SELECT count(*) FROM CV_PersonInfo");
        count.open();
        EXPECT_EQ(count.fieldText("count"), QString::number(people));
        // The installation's own test connection died with the server; its clean-up drops the
        // schema through a fresh one.
        ASSERT_EQ(app->findChildren<QObject*>("DM_PersonPack").size(), 1);
    }
}

}  // namespace
