/* The stand-in host's settings, for a host program of one's own that uses the installed
 * companion libraries (database connections, reader pack, temporary paths, log). They read the
 * same settings as `corvane`, by the keys of its settings file: style (local or networked),
 * db (an SQLite file or a postgresql:// URL), server, packageVersion, packageDir, tempDir,
 * logFile. Text is UTF-8.
 *
 * Both live in libcvhostcore, which the plug-in loads with its companion libraries: once the
 * plug-in is loaded, dlsym(pluginHandle, "CVHostSetSetting") finds them. */
#ifndef CV_STAND_IN_HOST_H
#define CV_STAND_IN_HOST_H

#include <stdint.h>

#include "CVCallConv.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef void(CVCALL* CVHostSetSetting_t)(const char* key, const char* value);
/* Reads a settings file (INI, [host] section); 1 when it was read, 0 otherwise. */
typedef int32_t(CVCALL* CVHostLoadSettings_t)(const char* iniFile);

#ifdef __cplusplus
}
#endif

#endif
