// Temporary directories per module key, below the host's temporary directory.
#include <QDir>
#include <cstdio>

#include "CVHostServices.h"
#include "HostSettings.h"
#include "HostString.h"
#include "TextCodec.h"

// The directory goes to the plug-in as GBK. A configured root that GBK cannot name is not
// handed out garbled: the default root is used instead, and said so. A key that is not GBK
// has no directory (empty answer).
extern "C" void CVCALL GetAppTempPathY(char** result, const char* moduleKey) {
    cv::hostStringClear(result);
    const QString fallback = QDir::tempPath() + "/corvane/temp";
    QString root = cvhost::Settings::instance().value("tempDir");
    if (root.isEmpty()) root = fallback;
    try {
        const QString key = cv::fromGbk(moduleKey);
        for (const QString& candidate : {root, fallback}) {
            const QString dir = QDir(candidate).filePath(key) + '/';
            try {
                const QByteArray bytes = cv::toGbk(dir);
                QDir().mkpath(dir);
                *result = cv::hostStringNew(bytes);
                return;
            } catch (const cv::CodecError&) {
                std::fprintf(stderr, "corvane: the temporary directory %s has no GBK name\n",
                             qPrintable(dir));
            }
        }
    } catch (const std::exception&) {
        // No directory for a key that is not GBK.
    }
}
