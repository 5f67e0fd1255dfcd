// The memory-manager library that the host and the plug-in share. Its three routines are
// known by their documented names, which are not valid ELF symbols, so the library exports a
// single lookup from that name to the routine.
#pragma once

#include <stdint.h>

#include "CVCallConv.h"

extern "C" {
typedef void*(CVCALL* SysGetMem_t)(int32_t size);
typedef int32_t(CVCALL* SysFreeMem_t)(void* block);
typedef void*(CVCALL* SysReallocMem_t)(void* block, int32_t size);

// "@Borlndmm@SysGetMem$qqri", "@Borlndmm@SysFreeMem$qqrpv" or
// "@Borlndmm@SysReallocMem$qqrpvi"; null for any other name.
CV_EXPORT void* BorlndmmLookup(const char* exportName);

// Blocks handed out and not yet released, for tests and leak checks.
CV_EXPORT int64_t BorlndmmLiveBlocks(void);
}
