#include "Disposal.h"

namespace corvane {

Disposal::~Disposal() {
    {
        const std::lock_guard lock(mutex_);
        ending_ = true;
    }
    handed_.notify_one();
    if (thread_.joinable()) thread_.join();
}

void Disposal::hand(std::shared_ptr<void> value) {
    {
        const std::lock_guard lock(mutex_);
        values_.push_back(std::move(value));
        if (!thread_.joinable())
            thread_ = std::thread([this] {
                std::unique_lock lock(mutex_);
                for (;;) {
                    handed_.wait(lock, [this] { return ending_ || !values_.empty(); });
                    if (values_.empty()) return;
                    std::shared_ptr<void> next = std::move(values_.front());
                    values_.pop_front();
                    lock.unlock();
                    next.reset();
                    lock.lock();
                }
            });
    }
    handed_.notify_one();
}

}  // namespace corvane
