// consumer STORE: loads the installed plug-in, points the stand-in host's companion libraries
// at STORE, shows the personnel preview (closed as soon as it is shown) and prints what
// CVPackage_View answered, as `corvane view` does.
#include <CVHostServices.h>
#include <CVPersonPackAPI.h>
#include <CVStandInHost.h>
#include <dlfcn.h>

#include <QApplication>
#include <QScreen>
#include <QTimer>
#include <QWidget>
#include <cstdio>

extern "C" {

// The host's own functions that the plug-in looks up in the program (the preview needs these
// two; an import also asks GetCurUUID).
CV_EXPORT uint8_t CVCALL CVGetWorkingStyle(void) { return 2; }

CV_EXPORT void* CVCALL CVGetAppInterface(const char* libraryPath, const char* entry, int32_t) {
    void* library = libraryPath ? dlopen(libraryPath, RTLD_NOW) : nullptr;
    return library && entry ? dlsym(library, entry) : nullptr;
}
}

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: consumer STORE\n");
        return 2;
    }
    QApplication app(argc, argv);
    void* plugin = dlopen(CV_PLUGIN, RTLD_NOW | RTLD_LOCAL);
    if (!plugin) {
        std::fprintf(stderr, "consumer: %s\n", dlerror());
        return 1;
    }
    auto view = reinterpret_cast<CVPackage_View_t>(dlsym(plugin, "CVPackage_View"));
    auto setSetting = reinterpret_cast<CVHostSetSetting_t>(dlsym(plugin, "CVHostSetSetting"));
    if (!view || !setSetting) {
        std::fprintf(stderr, "consumer: the plug-in lacks an entry\n");
        return 1;
    }
    setSetting("db", argv[1]);
    setSetting("style", "local");
    QTimer close;
    QObject::connect(&close, &QTimer::timeout, [] {
        if (QWidget* dialog = QApplication::activeModalWidget()) dialog->close();
    });
    close.start(50);
    std::printf("CVPackage_View: %d\n",
                int(view(&app, QGuiApplication::primaryScreen(), nullptr, 0)));
    return 0;
}
