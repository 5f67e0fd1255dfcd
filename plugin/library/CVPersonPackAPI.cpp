// The plug-in's six exports and its load and unload.
//
// Lifecycle:
//  - load: the shared memory manager's routines are resolved (every string that crosses to
//    the host comes from that heap), then the process-notification handler records the
//    library's own context as the saved copy;
//  - every call: the host's application object, screen object and hint-window class become
//    the current context (and stay so), string arguments are copied, and the call forwards to
//    one operation; an exception the operation lets through becomes the export's failure
//    value here and nowhere else, with its line in the host's log (but the import's, whose
//    lines are its own);
//  - unload: the library is linked to stay mapped once loaded, so a host's dlclose leaves it
//    in place (the data module and a frame it left with the host still run its code when the
//    host destroys them) and a later dlopen gets it back as it was. The handler puts the
//    saved context back when the process ends, before anything else shuts down.
#include "CVPersonPackAPI.h"

#include <QString>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "FailureLines.h"
#include "HostContext.h"
#include "HostString.h"
#include "PackageOperations.h"
#include "SharedAllocator.h"
#include "TextCodec.h"

namespace {

// The one place where an exception an operation lets through becomes the export's failure
// value, with its line under `head`.
template <typename Result, typename Operation>
Result logged(Result failure, const QString& head, Operation operation) {
    try {
        return operation();
    } catch (...) {
        cv::LogFailure(head, cv::CurrentExceptionText());
        return failure;
    }
}

// A package path the host passes, in GBK; throws std::runtime_error saying so when it is not.
QString packageArgument(const char* package) {
    try {
        return cv::fromGbk(package);
    } catch (const cv::CodecError& e) {
        throw std::runtime_error(std::string("人员包的路径不是 GBK 文本: ") + e.what());
    }
}

__attribute__((constructor)) void libraryLoad() {
    cv::sharedAllocator();
    cv::processNotification(1);
}

__attribute__((destructor)) void libraryUnload() { cv::processNotification(0); }

}  // namespace

extern "C" {

CV_EXPORT int32_t CVCALL CVPackage_View(void* app, void* screen, void* hint, intptr_t) {
    cv::installContext(app, screen, hint);
    return logged<int32_t>(-1, cv::ViewFailed, [] { return cv::PackageView(); });
}

CV_EXPORT int32_t CVCALL CVPackage_ExportProc(void* app, void* screen, void* hint, intptr_t,
                                              void* parent) {
    cv::installContext(app, screen, hint);
    return logged<int32_t>(-1, cv::SelectionFailed,
                           [&] { return cv::PackageExportProc(static_cast<QWidget*>(parent)); });
}

CV_EXPORT char* CVCALL CVPackage_Export(char** result, void* app, void* screen, void* hint,
                                        intptr_t) {
    cv::installContext(app, screen, hint);
    const QByteArray answer =
        logged<QByteArray>(" ", cv::ExportFailed, [] { return cv::toGbk(cv::PackageExport()); });
    // A fresh heap string with count 1, whatever the answer: the host may keep it as long as
    // it likes and release it through the shared allocator.
    char* fresh = cv::hostStringNew(answer);
    cv::hostStringAssign(result, fresh);
    cv::hostStringRelease(fresh);
    return *result;
}

CV_EXPORT int32_t CVCALL CVPackage_ImportProc(void* app, void* screen, void* hint, intptr_t,
                                              const char* package, void* parent) {
    cv::installContext(app, screen, hint);
    return logged<int32_t>(-1, cv::PreviewFailed, [&] {
        return cv::PackageImportProc(packageArgument(package), static_cast<QWidget*>(parent));
    });
}

CV_EXPORT int32_t CVCALL CVPackage_Import(void* app, void* screen, void* hint, intptr_t,
                                          const char* package) {
    cv::installContext(app, screen, hint);
    // A path that cannot be read refuses the package; anything else the import lets through
    // ends it part-way (the people of the windows it committed stay stored).
    QString argument;
    try {
        argument = packageArgument(package);
    } catch (const std::runtime_error& e) {
        cv::LogFailure(cv::ImportRefused, QString::fromUtf8(e.what()));
        return -1;
    }
    return logged<int32_t>(-1, cv::ImportStopped, [&] { return cv::PackageImport(argument); });
}

CV_EXPORT int32_t CVCALL CVPackage_Free(void* app, void* screen, void* hint, intptr_t, intptr_t) {
    cv::installContext(app, screen, hint);
    return logged<int32_t>(-1, cv::FreeFailed, [] { return cv::PackageFree(); });
}

}  // extern "C"
