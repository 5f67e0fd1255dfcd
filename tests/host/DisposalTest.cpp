// What the window hands over is freed, every bit of it, and never on the window's thread.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <utility>

#include "Disposal.h"

namespace {

struct Freed {
    std::atomic<int> count{0};
    std::atomic<int> onCaller{0};
    std::thread::id caller = std::this_thread::get_id();
};

struct Witness {
    Freed* freed;
    explicit Witness(Freed* f) : freed(f) {}
    Witness(Witness&& other) noexcept : freed(std::exchange(other.freed, nullptr)) {}
    ~Witness() {
        if (!freed) return;
        ++freed->count;
        if (std::this_thread::get_id() == freed->caller) ++freed->onCaller;
    }
};

TEST(Disposal, FreesEverythingHandedOverOffTheCallersThreadByItsEnd) {
    for (const int values : {0, 1, 500}) {
        Freed freed;
        {
            corvane::Disposal disposal;
            for (int i = 0; i < values; ++i) disposal.drop(Witness(&freed));
        }
        EXPECT_EQ(freed.count, values);
        EXPECT_EQ(freed.onCaller, 0);
    }
}

}  // namespace
