// Temporary directories per module key, below the host's temporary directory: the one of the
// settings, else temp/ in this process's own run folder.
#include <QDir>
#include <cstdio>

#include "CVHostServices.h"
#include "HostSettings.h"
#include "HostString.h"
#include "TextCodec.h"
#include "WorkFolders.h"

// The directory goes to the plug-in as GBK. A configured root that GBK cannot name is not
// handed out garbled: the run folder's is used instead, and said so. A key that is not GBK
// has no directory (empty answer).
extern "C" void CVCALL GetAppTempPathY(char** result, const char* moduleKey) {
    cv::hostStringClear(result);
    const QString configured = cvhost::Settings::instance().value("tempDir");
    QStringList roots;
    if (!configured.isEmpty()) roots << configured;
    if (const QString run = cvhost::runFolder(); !run.isEmpty()) roots << run + "temp";
    try {
        const QString key = cv::fromGbk(moduleKey);
        for (const QString& root : roots) {
            const QString dir = QDir(root).filePath(key) + '/';
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
