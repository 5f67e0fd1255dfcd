// A host that unloads the plug-in while its application object lives on, loads it again and
// goes on using it, then destroys the application object. A program of its own: the plug-in
// must really be unloaded, so nothing else in the process may hold it.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <QDir>
#include <QPointer>
#include <QWidget>
#include <memory>

#include "CVPersonPackAPI.h"
#include "HostSettings.h"
#include "HostString.h"
#include "TestHost.h"

namespace {

TEST(Unload, UnloadedPluginLeavesNothingThatTheHostsObjectsCannotDestroy) {
    using testhost::Installation;
    Installation installation(Installation::Content::SampleA);
    auto application = std::make_unique<QObject>();
    auto hostWindow = std::make_unique<QWidget>();
    QObject* app = application.get();

    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        void* plugin = dlopen(CV_PLUGIN_FILE, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(plugin, nullptr) << dlerror();
        auto entry = [plugin](const char* name) { return dlsym(plugin, name); };
        auto exportProc = reinterpret_cast<CVPackage_ExportProc_t>(entry("CVPackage_ExportProc"));
        auto exportPackage = reinterpret_cast<CVPackage_Export_t>(entry("CVPackage_Export"));
        auto importProc = reinterpret_cast<CVPackage_ImportProc_t>(entry("CVPackage_ImportProc"));
        auto importPackage = reinterpret_cast<CVPackage_Import_t>(entry("CVPackage_Import"));
        auto freeFrame = reinterpret_cast<CVPackage_Free_t>(entry("CVPackage_Free"));

        ASSERT_EQ(exportProc(app, nullptr, nullptr, 0, hostWindow.get()), 1);
        if (round == 2) {
            // Unloaded while its frame is embedded in the host's window.
            ASSERT_EQ(dlclose(plugin), 0);
            break;
        }
        char* answer = nullptr;
        exportPackage(&answer, app, nullptr, nullptr, 0);
        const QByteArray directory = cv::hostStringBytes(answer);
        cv::hostStringClear(&answer);
        EXPECT_EQ(directory, QFile::encodeName(installation.packageDir() + "PerInfo/"));
        EXPECT_EQ(freeFrame(app, nullptr, nullptr, 0, 0), 1);
        if (round == 1) {
            // The package just written goes back into the same installation: everybody is
            // there already, and the import runs to its end.
            cvhost::Settings::instance().set("packageVersion", "3");
            ASSERT_EQ(importProc(app, nullptr, nullptr, 0, directory.constData(), hostWindow.get()),
                      1);
            EXPECT_EQ(importPackage(app, nullptr, nullptr, 0, directory.constData()), 1);
            EXPECT_EQ(freeFrame(app, nullptr, nullptr, 0, 0), 1);
        }
        // One data module for the host's application object, whichever load made it.
        EXPECT_EQ(app->findChildren<QObject*>("DM_PersonPack", Qt::FindDirectChildrenOnly).size(),
                  1);
        ASSERT_EQ(dlclose(plugin), 0);
    }

    // The host's objects go after the plug-in: the window with the embedded frame, then the
    // application object that owns the data module and the frame's registration.
    QPointer<QWidget> frame = hostWindow->findChild<QWidget*>("FramePerson");
    EXPECT_FALSE(frame.isNull());
    hostWindow.reset();
    EXPECT_TRUE(frame.isNull());
    application.reset();
}

}  // namespace
