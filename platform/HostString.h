// The reference-counted byte string that crosses between host and plug-in.
//
// A string variable holds null (the empty string) or a pointer to the first character of a
// block laid out as: int32 reference count at -8 (-1 marks a constant that is never
// released), int32 length at -4, the bytes, then a zero. Heap strings come from the shared
// allocator (borlndmm), so either side may release what the other allocated.
#pragma once

#include <QByteArray>
#include <cstdint>

namespace cv {

// A fresh heap string with count 1 holding `bytes`; null for an empty text.
char* hostStringNew(const QByteArray& bytes);

// Stores `value` into the variable `*var` with the host's rules: a constant is copied into a
// fresh heap string, any other string has its count incremented atomically; the new pointer
// is exchanged into the variable and the string it held before is released.
void hostStringAssign(char** var, const char* value);

// Atomic decrement; frees through the shared allocator at zero; constants are left alone.
void hostStringRelease(const char* value);

// Releases what the variable holds and sets it to null.
void hostStringClear(char** var);

std::int32_t hostStringRefCount(const char* value);
std::int32_t hostStringLength(const char* value);
QByteArray hostStringBytes(const char* value);

// A constant string (count -1) with static storage, as a compiler would lay out a literal.
template <std::size_t N>
struct HostStringConstant {
    std::int32_t refCount = -1;
    std::int32_t length = N - 1;
    char text[N];
    constexpr HostStringConstant(const char (&s)[N]) : text{} {
        for (std::size_t i = 0; i < N; ++i) text[i] = s[i];
    }
    const char* c_str() const { return text; }
};

}  // namespace cv
