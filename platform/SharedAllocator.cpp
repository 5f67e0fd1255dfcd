#include "SharedAllocator.h"

#include <stdexcept>

namespace cv {

const SharedAllocator& sharedAllocator() {
    static const SharedAllocator routines = [] {
        SharedAllocator a;
        a.getMem = reinterpret_cast<SysGetMem_t>(BorlndmmLookup("@Borlndmm@SysGetMem$qqri"));
        a.freeMem = reinterpret_cast<SysFreeMem_t>(BorlndmmLookup("@Borlndmm@SysFreeMem$qqrpv"));
        a.reallocMem =
            reinterpret_cast<SysReallocMem_t>(BorlndmmLookup("@Borlndmm@SysReallocMem$qqrpvi"));
        if (!a.getMem || !a.freeMem || !a.reallocMem)
            throw std::runtime_error("the shared memory manager lacks a routine");
        return a;
    }();
    return routines;
}

}  // namespace cv
