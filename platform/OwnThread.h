// Work over every person of an installation, run on a thread of its own.
//
// glibc gives such a thread a memory arena of its own. The host's heap, after it has built
// the trees of a large installation, is full of small free blocks, and SQLite, which
// allocates for every term of a statement listing people by the hundred thousand, then runs
// half as slow again as in a fresh process; on a thread of its own it runs at a fresh
// process's speed.
#pragma once

#include <functional>

namespace cv {

// Runs `work` on a new thread and waits for it; throws what `work` throws. The rows `work`
// counts reach this thread's heartbeat listener while it waits (so a progress dialog goes on
// showing them). Where no thread can be started, `work` runs here. `work` must not touch
// widgets, or Qt's database connections, which belong to this thread.
void runOnOwnThread(const std::function<void()>& work);

}  // namespace cv
