// Temporary directories per module key, below the host's temporary directory.
#include <QDir>

#include "CVHostServices.h"
#include "HostSettings.h"
#include "HostString.h"
#include "TextCodec.h"

extern "C" void CVCALL GetAppTempPathY(char** result, const char* moduleKey) {
    QString root = cvhost::Settings::instance().value("tempDir");
    if (root.isEmpty()) root = QDir::tempPath() + "/corvane/temp";
    const QString dir = QDir(root).filePath(cv::fromGbk(moduleKey)) + '/';
    QDir().mkpath(dir);
    cv::hostStringClear(result);
    *result = cv::hostStringNew(cv::toGbk(dir));
}
