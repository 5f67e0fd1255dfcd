// The host executable's own exports, which the plug-in finds in the process's global scope.
#include <dlfcn.h>

#include <QHash>
#include <QUuid>

#include "CVHostServices.h"
#include "HostSettings.h"
#include "HostString.h"
#include "TextCodec.h"

extern "C" {

CV_EXPORT uint8_t CVCALL CVGetWorkingStyle(void) {
    return cvhost::Settings::instance().workingStyle();
}

// Libraries stay loaded once asked for: their entries are handed out as plain addresses.
CV_EXPORT void* CVCALL CVGetAppInterface(const char* libraryPath, const char* entry, int32_t) {
    if (!libraryPath || !entry) return nullptr;
    static QHash<QByteArray, void*> libraries;
    void*& handle = libraries[QByteArray(libraryPath)];
    if (!handle) handle = dlopen(libraryPath, RTLD_NOW);
    return handle ? dlsym(handle, entry) : nullptr;
}

CV_EXPORT void CVCALL GetCurUUID(char** result) {
    cv::hostStringClear(result);
    *result =
        cv::hostStringNew(QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toLatin1());
}

}  // extern "C"
