/* CVPersonPackAPI: the plug-in's six entry points, as a host calls them.
 *
 * Conventions, once for all six:
 *  - Call them on the host's user-interface thread, one at a time.
 *  - `app` is the host's application object (a QCoreApplication*), `screen` its screen
 *    object (a QScreen*), `hint` an opaque hint-window class handle. Every call makes them
 *    the library's current context, and they stay so after the call returns.
 *  - `parent` is a QWidget* of the host that receives the embedded frame.
 *  - Reserved arguments are ignored.
 *  - Text is zero-terminated GBK, read and written as code page 936 does (0x80 is the euro
 *    sign), GB18030 for what code page 936 lacks. The host keeps ownership of what it passes.
 *  - Once loaded, the library stays mapped until the process ends: dlclose leaves it in place
 *    (the data module it leaves under `app` runs its code until `app` is destroyed), and a
 *    later dlopen gets it back as it was.
 *  - CVPackage_Export stores its result into the host's string variable `*result`: a
 *    reference-counted string from the shared allocator (borlndmm) with count 1, whatever
 *    the variable held before is released. The host releases it through the same allocator.
 *
 * Results: 1 success, -1 failure, -2 nothing ticked; CVPackage_Export answers the package
 * directory, or "-2" (nothing ticked), "-3" (directory cannot be made), " " (failure). */
#ifndef CV_PERSON_PACK_API_H
#define CV_PERSON_PACK_API_H

#include <stdint.h>

#include "CVCallConv.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t(CVCALL* CVPackage_View_t)(void* app, void* screen, void* hint, intptr_t reserved);
typedef int32_t(CVCALL* CVPackage_ExportProc_t)(void* app, void* screen, void* hint,
                                                intptr_t reserved, void* parent);
typedef char*(CVCALL* CVPackage_Export_t)(char** result, void* app, void* screen, void* hint,
                                          intptr_t reserved);
typedef int32_t(CVCALL* CVPackage_ImportProc_t)(void* app, void* screen, void* hint,
                                                intptr_t reserved, const char* package,
                                                void* parent);
typedef int32_t(CVCALL* CVPackage_Import_t)(void* app, void* screen, void* hint, intptr_t reserved,
                                            const char* package);
typedef int32_t(CVCALL* CVPackage_Free_t)(void* app, void* screen, void* hint, intptr_t reserved1,
                                          intptr_t reserved2);

#ifdef __cplusplus
}
#endif

#endif
