// Frees large values on a thread of its own. The window's thread hands over what it is done
// with (a package's 100,000 people, the rows of the report it replaces) instead of spending a
// frame freeing them; nothing else touches them any more, so no lock guards their contents.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace corvane {

class Disposal {
public:
    Disposal() = default;
    ~Disposal();  // frees what it still holds, then ends its thread
    Disposal(const Disposal&) = delete;
    Disposal& operator=(const Disposal&) = delete;

    template <typename T>
    void drop(T value) {
        hand(std::make_shared<T>(std::move(value)));
    }

private:
    void hand(std::shared_ptr<void> value);

    std::mutex mutex_;
    std::condition_variable handed_;
    std::deque<std::shared_ptr<void>> values_;
    bool ending_ = false;
    std::thread thread_;  // started with the first value
};

}  // namespace corvane
