#include "OwnThread.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

#include "Heartbeat.h"

namespace cv {

void runOnOwnThread(const std::function<void()>& work) {
    struct Relay final : HeartbeatListener {
        std::atomic<qint64> rows{0};
        void beat(qint64 count) override { rows.store(count, std::memory_order_relaxed); }
    } relay;
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    std::exception_ptr failure;

    std::thread thread;
    try {
        thread = std::thread([&] {
            {
                const HeartbeatScope scope(relay);
                try {
                    work();
                } catch (...) {
                    failure = std::current_exception();
                }
            }
            const std::lock_guard lock(mutex);
            done = true;
            finished.notify_one();
        });
    } catch (const std::system_error&) {
        work();
        return;
    }

    HeartbeatState& here = heartbeatState();
    const qint64 before = here.rows;
    const auto relayed = [&] { here.rows = before + relay.rows.load(std::memory_order_relaxed); };
    // The listener hears at once, then every 25 ms until the work is done.
    std::unique_lock lock(mutex);
    do {
        if (!here.listener) continue;
        lock.unlock();
        relayed();
        here.listener->beat(here.rows);
        lock.lock();
    } while (!finished.wait_for(lock, std::chrono::milliseconds(25), [&] { return done; }));
    lock.unlock();
    thread.join();
    relayed();
    if (failure) std::rethrow_exception(failure);
}

}  // namespace cv
