// The reader-pack library: the package version and the package working directory.
#include <QDir>
#include <cstdio>

#include "CVHostServices.h"
#include "HostSettings.h"
#include "HostString.h"
#include "TextCodec.h"

extern "C" CV_EXPORT int32_t CVCALL GetPackageVer(void) {
    return cvhost::Settings::instance().value("packageVersion", "1").toInt();
}

// The directory goes to the plug-in as GBK. A configured directory that GBK cannot name is
// not handed out garbled: the default working directory is used instead, and said so.
extern "C" CV_EXPORT void CVCALL GetPackageDir(char** result) {
    cv::hostStringClear(result);
    auto withSeparator = [](QString dir) { return dir.endsWith('/') ? dir : dir + '/'; };
    const QString fallback = QDir::tempPath() + "/corvane/package/";
    QString dir = cvhost::Settings::instance().value("packageDir");
    if (dir.isEmpty()) dir = fallback;
    for (const QString& candidate : {withSeparator(dir), fallback}) {
        try {
            const QByteArray bytes = cv::toGbk(candidate);
            QDir().mkpath(candidate);
            *result = cv::hostStringNew(bytes);
            return;
        } catch (const std::exception&) {
            std::fprintf(stderr, "corvane: the package directory %s has no GBK name\n",
                         qPrintable(candidate));
        }
    }
}
