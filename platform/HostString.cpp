#include "HostString.h"

#include <atomic>
#include <cstring>
#include <new>

#include "SharedAllocator.h"

namespace cv {
namespace {

struct Header {
    std::int32_t refCount;
    std::int32_t length;
};

Header* headerOf(const char* value) {
    return reinterpret_cast<Header*>(const_cast<char*>(value) - sizeof(Header));
}

std::atomic_ref<std::int32_t> countOf(const char* value) {
    return std::atomic_ref<std::int32_t>(headerOf(value)->refCount);
}

}  // namespace

char* hostStringNew(const QByteArray& bytes) {
    if (bytes.isEmpty()) return nullptr;
    const auto length = static_cast<std::int32_t>(bytes.size());
    auto* block = static_cast<char*>(
        sharedAllocator().getMem(static_cast<std::int32_t>(sizeof(Header)) + length + 1));
    if (!block) throw std::bad_alloc();
    auto* header = reinterpret_cast<Header*>(block);
    header->refCount = 1;
    header->length = length;
    char* text = block + sizeof(Header);
    std::memcpy(text, bytes.constData(), static_cast<size_t>(length));
    text[length] = '\0';
    return text;
}

void hostStringAssign(char** var, const char* value) {
    char* stored = nullptr;
    if (value) {
        if (hostStringRefCount(value) < 0) {
            stored = hostStringNew(hostStringBytes(value));
        } else {
            countOf(value).fetch_add(1);
            stored = const_cast<char*>(value);
        }
    }
    char* previous = std::atomic_ref<char*>(*var).exchange(stored);
    hostStringRelease(previous);
}

void hostStringRelease(const char* value) {
    if (!value || hostStringRefCount(value) < 0) return;
    if (countOf(value).fetch_sub(1) == 1)
        sharedAllocator().freeMem(reinterpret_cast<char*>(headerOf(value)));
}

void hostStringClear(char** var) {
    char* previous = std::atomic_ref<char*>(*var).exchange(nullptr);
    hostStringRelease(previous);
}

std::int32_t hostStringRefCount(const char* value) { return value ? countOf(value).load() : 0; }

std::int32_t hostStringLength(const char* value) { return value ? headerOf(value)->length : 0; }

QByteArray hostStringBytes(const char* value) {
    return value ? QByteArray(value, hostStringLength(value)) : QByteArray();
}

}  // namespace cv
