// The C entries of include/CVStandInHost.h: the host's settings for host programs other than
// corvane.
#include "CVStandInHost.h"
#include "HostSettings.h"

extern "C" {

CV_EXPORT void CVCALL CVHostSetSetting(const char* key, const char* value) {
    if (key) cvhost::Settings::instance().set(QString::fromUtf8(key), QString::fromUtf8(value));
}

CV_EXPORT int32_t CVCALL CVHostLoadSettings(const char* iniFile) {
    return iniFile && cvhost::Settings::instance().load(QString::fromUtf8(iniFile)) ? 1 : 0;
}

}  // extern "C"
