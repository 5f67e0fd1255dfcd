#include <gtest/gtest.h>

#include <cstring>

#include "HostString.h"
#include "borlndmm/borlndmm.h"

namespace {

TEST(HostString, LayoutIsCountLengthBytesZero) {
    char* s = cv::hostStringNew("PerInfo/");
    const auto* header = reinterpret_cast<const std::int32_t*>(s - 8);
    EXPECT_EQ(header[0], 1);
    EXPECT_EQ(header[1], 8);
    EXPECT_EQ(std::memcmp(s, "PerInfo/", 9), 0);  // the zero after the bytes included
    cv::hostStringRelease(s);
}

TEST(HostString, AssignFollowsTheHostsStoreRules) {
    static const cv::HostStringConstant constant("-2");
    const std::int64_t before = BorlndmmLiveBlocks();

    // A constant is copied into a fresh heap string with count 1.
    char* var = nullptr;
    cv::hostStringAssign(&var, constant.c_str());
    ASSERT_NE(var, constant.c_str());
    EXPECT_EQ(cv::hostStringRefCount(var), 1);
    EXPECT_EQ(cv::hostStringBytes(var), "-2");
    EXPECT_EQ(cv::hostStringRefCount(constant.c_str()), -1);

    // A heap string is shared (count incremented) and the previous value released.
    char* shared = cv::hostStringNew("dir/");
    cv::hostStringAssign(&var, shared);
    EXPECT_EQ(var, shared);
    EXPECT_EQ(cv::hostStringRefCount(shared), 2);
    EXPECT_EQ(BorlndmmLiveBlocks(), before + 1);  // the copy of "-2" is gone

    cv::hostStringRelease(shared);
    EXPECT_EQ(cv::hostStringRefCount(var), 1);
    cv::hostStringClear(&var);
    EXPECT_EQ(var, nullptr);
    EXPECT_EQ(BorlndmmLiveBlocks(), before);

    // Empty text is the null string; releasing null or a constant does nothing.
    EXPECT_EQ(cv::hostStringNew(QByteArray()), nullptr);
    cv::hostStringRelease(nullptr);
    cv::hostStringRelease(constant.c_str());
    EXPECT_EQ(cv::hostStringRefCount(constant.c_str()), -1);
}

TEST(HostString, MemoryManagerResolvesOnlyItsDocumentedNames) {
    EXPECT_NE(BorlndmmLookup("@Borlndmm@SysGetMem$qqri"), nullptr);
    EXPECT_NE(BorlndmmLookup("@Borlndmm@SysFreeMem$qqrpv"), nullptr);
    EXPECT_NE(BorlndmmLookup("@Borlndmm@SysReallocMem$qqrpvi"), nullptr);
    EXPECT_EQ(BorlndmmLookup("SysGetMem"), nullptr);
    EXPECT_EQ(BorlndmmLookup(nullptr), nullptr);
}

}  // namespace
