// The reader-pack library: the package version and the package working directory.
#include <QDir>

#include "CVHostServices.h"
#include "HostSettings.h"
#include "HostString.h"
#include "TextCodec.h"

extern "C" CV_EXPORT int32_t CVCALL GetPackageVer(void) {
    return cvhost::Settings::instance().value("packageVersion", "1").toInt();
}

extern "C" CV_EXPORT void CVCALL GetPackageDir(char** result) {
    QString dir = cvhost::Settings::instance().value("packageDir");
    if (dir.isEmpty()) dir = QDir::tempPath() + "/corvane/package/";
    if (!dir.endsWith('/')) dir += '/';
    QDir().mkpath(dir);
    cv::hostStringClear(result);
    *result = cv::hostStringNew(cv::toGbk(dir));
}
