#include "borlndmm.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

std::atomic<int64_t> liveBlocks{0};

void* CVCALL sysGetMem(int32_t size) {
    if (size < 0) return nullptr;
    void* block = std::malloc(size == 0 ? 1 : static_cast<size_t>(size));
    if (block) ++liveBlocks;
    return block;
}

int32_t CVCALL sysFreeMem(void* block) {
    if (!block) return 1;
    std::free(block);
    --liveBlocks;
    return 0;
}

void* CVCALL sysReallocMem(void* block, int32_t size) {
    if (size < 0) return nullptr;
    if (!block) return sysGetMem(size);
    return std::realloc(block, size == 0 ? 1 : static_cast<size_t>(size));
}

}  // namespace

extern "C" void* BorlndmmLookup(const char* exportName) {
    if (!exportName) return nullptr;
    if (std::strcmp(exportName, "@Borlndmm@SysGetMem$qqri") == 0)
        return reinterpret_cast<void*>(&sysGetMem);
    if (std::strcmp(exportName, "@Borlndmm@SysFreeMem$qqrpv") == 0)
        return reinterpret_cast<void*>(&sysFreeMem);
    if (std::strcmp(exportName, "@Borlndmm@SysReallocMem$qqrpvi") == 0)
        return reinterpret_cast<void*>(&sysReallocMem);
    return nullptr;
}

extern "C" int64_t BorlndmmLiveBlocks(void) { return liveBlocks.load(); }
