// The host's log (HostLog.h): one line per call. Text that is not valid GBK is written with
// its bad bytes escaped: a line is never lost for what it says.
#include "CVHostServices.h"
#include "HostLog.h"
#include "TextCodec.h"

extern "C" int32_t CVCALL CVLogWrite(const char* message, int32_t kind, const char* uuid,
                                     const char* module, const char* subsystem, int32_t level) {
    try {
        auto text = [](const char* bytes) {
            return cv::fromGbkEscaped(QByteArray(bytes ? bytes : ""));
        };
        return cvhost::writeLog(text(message), kind, text(uuid), text(module), text(subsystem),
                                level)
                   ? 1
                   : 0;
    } catch (...) {
        return 0;
    }
}
