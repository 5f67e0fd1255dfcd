#include "HostServices.h"

#include <dlfcn.h>

#include "CVHostServices.h"
#include "HostContext.h"
#include "HostString.h"
#include "TextCodec.h"

namespace cv::host {
namespace {

// An entry of the host executable: the program links with exported symbols, so the
// process's global scope finds them.
void* executableEntry(const char* name) {
    static void* self = dlopen(nullptr, RTLD_LAZY);
    return self ? dlsym(self, name) : nullptr;
}

void* readerPackEntry(const char* entry) {
    auto getAppInterface =
        reinterpret_cast<CVGetAppInterface_t>(executableEntry("CVGetAppInterface"));
    if (!getAppInterface) return nullptr;
    QByteArray library;
    try {
        library = toGbk(executableDirectory() + "System/API/libCVReaderPack.so");
    } catch (const CodecError&) {
        // A program folder the host's code page cannot name cannot be named to the host
        // either: the library is as good as missing.
        return nullptr;
    }
    return getAppInterface(library.constData(), entry, 1);
}

// Calls a host function that answers through a string variable, and takes its bytes over.
template <typename Call>
QByteArray bytesResult(Call call) {
    char* result = nullptr;
    try {
        call(&result);
    } catch (...) {
        hostStringClear(&result);
        throw;
    }
    const QByteArray bytes = hostStringBytes(result);
    hostStringClear(&result);
    return bytes;
}

template <typename Call>
QString stringResult(Call call) {
    return fromGbk(bytesResult(call));
}

}  // namespace

std::uint8_t workingStyle() {
    auto entry = reinterpret_cast<CVGetWorkingStyle_t>(executableEntry("CVGetWorkingStyle"));
    return entry ? entry() : 0;
}

std::int32_t packageVersion() {
    auto entry = reinterpret_cast<GetPackageVer_t>(readerPackEntry("GetPackageVer"));
    return entry ? entry() : 0;
}

QString packageDirectory() {
    auto entry = reinterpret_cast<GetPackageDir_t>(readerPackEntry("GetPackageDir"));
    return entry ? stringResult([&](char** r) { entry(r); }) : QString();
}

ConnectionBroker* connectionBroker() {
    return static_cast<ConnectionBroker*>(GetPlatFormConnectionBroker());
}

Connection* baseConnection() {
    void* library = dlopen(testing::connectionLibraryName().constData(), RTLD_NOW);
    if (!library) return nullptr;
    Connection* connection = nullptr;
    try {
        if (auto entry =
                reinterpret_cast<GetBaseDBConnection_t>(dlsym(library, "GetBaseDBConnection")))
            connection = static_cast<Connection*>(entry());
    } catch (...) {
        connection = nullptr;
    }
    dlclose(library);
    return connection;
}

QString appTempPath(const QString& moduleKey) {
    const QByteArray key = toGbk(moduleKey);
    return stringResult([&](char** r) { GetAppTempPathY(r, key.constData()); });
}

bool extractFile(const QString& packedFile, const QString& destinationDirectory) {
    const QByteArray packed = toGbk(packedFile);
    const QByteArray destination = toGbk(destinationDirectory);
    return !stringResult([&](char** r) {
                ExtractFile(r, packed.constData(), destination.constData());
            }).isEmpty();
}

std::int32_t writeLog(const QString& message) {
    try {
        // The identifier goes back exactly as the host gave it; the message is made
        // expressible first, so no text can keep the line from being written.
        auto getCurUUID = reinterpret_cast<GetCurUUID_t>(executableEntry("GetCurUUID"));
        const QByteArray uuid =
            getCurUUID ? bytesResult([&](char** r) { getCurUUID(r); }) : QByteArray();
        const QByteArray text = toGbk(logSafeText(message));
        return CVLogWrite(text.constData(), 2, uuid.constData(), "DataUnPack", "CVPersonManage", 4);
    } catch (...) {
        return 0;
    }
}

namespace testing {

QByteArray& connectionLibraryName() {
    static QByteArray name = "libCVDBConAPI.so";
    return name;
}

}  // namespace testing
}  // namespace cv::host
