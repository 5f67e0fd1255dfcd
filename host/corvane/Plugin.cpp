#include "Plugin.h"

#include <dlfcn.h>

#include <QCoreApplication>
#include <QFile>
#include <QGuiApplication>

#include "HostString.h"
#include "TextCodec.h"

namespace corvane {

bool Plugin::load(QString* error) {
    const QString path = QCoreApplication::applicationDirPath() + "/libCVPersonPackAPI.so";
    handle = dlopen(QFile::encodeName(path).constData(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        *error = QString::fromLocal8Bit(dlerror());
        return false;
    }
    auto resolve = [&](auto& entry, const char* name) {
        entry = reinterpret_cast<std::remove_reference_t<decltype(entry)>>(dlsym(handle, name));
        if (!entry) *error = QString("the plug-in lacks %1").arg(name);
        return entry != nullptr;
    };
    return resolve(view, "CVPackage_View") && resolve(exportProc, "CVPackage_ExportProc") &&
           resolve(exportPackage, "CVPackage_Export") &&
           resolve(importProc, "CVPackage_ImportProc") &&
           resolve(importPackage, "CVPackage_Import") && resolve(freeFrame, "CVPackage_Free");
}

QString Plugin::writePackage(QObject* app) const {
    char* result = nullptr;
    exportPackage(&result, app, QGuiApplication::primaryScreen(), nullptr, 0);
    const QByteArray answer = cv::hostStringBytes(result);
    cv::hostStringClear(&result);
    return cv::fromGbk(answer);
}

}  // namespace corvane
