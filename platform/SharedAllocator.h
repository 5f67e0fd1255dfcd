// The three routines of the shared memory manager, looked up once by their documented names.
#pragma once

#include "borlndmm/borlndmm.h"

namespace cv {

struct SharedAllocator {
    SysGetMem_t getMem = nullptr;
    SysFreeMem_t freeMem = nullptr;
    SysReallocMem_t reallocMem = nullptr;
};

// Resolved on first use through the memory manager's lookup; throws if a routine is missing.
const SharedAllocator& sharedAllocator();

}  // namespace cv
