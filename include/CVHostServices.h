/* The functions the plug-in calls in the host executable and its companion libraries.
 *
 * A string result comes back through a hidden first argument: the address of the caller's
 * string variable, into which the callee stores a reference-counted string from the shared
 * allocator (see platform/HostString.h); the caller releases it. String inputs are
 * zero-terminated GBK and stay owned by the caller.
 *
 * Where each one lives:
 *   the host executable:           CVGetWorkingStyle, CVGetAppInterface, GetCurUUID
 *   System/API/libCVReaderPack.so: GetPackageVer, GetPackageDir (reached only through
 *                                  CVGetAppInterface)
 *   libCVDBConAPI.so:              GetPlatFormConnectionBroker, GetBaseDBConnection
 *   libCVDataIntegrateAPI.so:      GetAppTempPathY
 *   libCVZipTool.so:               ExtractFile
 *   libCVLogAPI.so:                CVLogWrite */
#ifndef CV_HOST_SERVICES_H
#define CV_HOST_SERVICES_H

#include <stdint.h>

#include "CVCallConv.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Working style: 1 networked (application server), 2 local database. */
typedef uint8_t(CVCALL* CVGetWorkingStyle_t)(void);
/* Address of `entry` in the library at `libraryPath`, or null. `flag` is 1. */
typedef void*(CVCALL* CVGetAppInterface_t)(const char* libraryPath, const char* entry,
                                           int32_t flag);
/* A fresh identifier text. */
typedef void(CVCALL* GetCurUUID_t)(char** result);

typedef int32_t(CVCALL* GetPackageVer_t)(void);
typedef void(CVCALL* GetPackageDir_t)(char** result);
typedef void*(CVCALL* GetBaseDBConnection_t)(void);

/* The companion libraries' entries that the plug-in links against directly. */

/* Both answer objects of the platform library (cv::ConnectionBroker*, cv::Connection*),
 * owned by the host; null when there is none. */
CV_EXPORT void* CVCALL GetPlatFormConnectionBroker(void);
CV_EXPORT void* CVCALL GetBaseDBConnection(void);
/* The temporary directory for a module key, ending with the separator. */
CV_EXPORT void CVCALL GetAppTempPathY(char** result, const char* moduleKey);
/* Unpacks `packedFile` into `destDir`; stores a non-empty text on success, empty on failure. */
CV_EXPORT void CVCALL ExtractFile(char** result, const char* packedFile, const char* destDir);
/* Writes one log line; answers 1 when it was written. */
CV_EXPORT int32_t CVCALL CVLogWrite(const char* message, int32_t kind, const char* uuid,
                                    const char* module, const char* subsystem, int32_t level);

#ifdef __cplusplus
}
#endif

#endif
