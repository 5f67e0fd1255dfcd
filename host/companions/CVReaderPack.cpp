// The reader-pack library: the package version and the package working directory.
#include <QDir>
#include <cstdio>

#include "CVHostServices.h"
#include "HostSettings.h"
#include "HostString.h"
#include "TextCodec.h"
#include "WorkFolders.h"

extern "C" CV_EXPORT int32_t CVCALL GetPackageVer(void) {
    return cvhost::Settings::instance().value("packageVersion", "1").toInt();
}

// The directory of the settings, else package/ in this process's own run folder. It goes to
// the plug-in as GBK: a configured directory that GBK cannot name is not handed out garbled,
// the run folder's is used instead, and said so.
extern "C" CV_EXPORT void CVCALL GetPackageDir(char** result) {
    cv::hostStringClear(result);
    auto withSeparator = [](QString dir) { return dir.endsWith('/') ? dir : dir + '/'; };
    const QString configured = cvhost::Settings::instance().value("packageDir");
    QStringList candidates;
    if (!configured.isEmpty()) candidates << withSeparator(configured);
    if (const QString run = cvhost::runFolder(); !run.isEmpty()) candidates << run + "package/";
    for (const QString& candidate : candidates) {
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
