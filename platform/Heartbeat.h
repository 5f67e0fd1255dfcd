// Signs of life from loops over rows. A loop that can run over every row of an installation
// or a package (reading a result, reading or writing a data packet, filling a tree) calls
// heartbeat() once per row; whatever shows the progress of the operation listens for its
// duration and hears of every 256th row. With nobody listening a row costs one test.
#pragma once

#include <QtGlobal>
#include <chrono>
#include <future>

namespace cv {

class HeartbeatListener {
public:
    // `rows` rows have gone by since the listener began to listen.
    virtual void beat(qint64 rows) = 0;

protected:
    ~HeartbeatListener() = default;
};

struct HeartbeatState {
    HeartbeatListener* listener = nullptr;
    qint64 rows = 0;
};
// One per thread: the loops run on the thread of the operation that shows the progress.
HeartbeatState& heartbeatState();

inline void heartbeat() {
    HeartbeatState& state = heartbeatState();
    if (state.listener && (++state.rows & 255) == 0) state.listener->beat(state.rows);
}

// Waits for work handed to another thread, the listener hearing this thread while it waits
// (the rows do not move): the progress shown goes on answering.
template <typename Future>
void waitBeating(const Future& future) {
    while (future.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) {
        const HeartbeatState& state = heartbeatState();
        if (state.listener) state.listener->beat(state.rows);
    }
}

// `listener` hears this thread's rows while the scope lasts; the one before comes back after.
class HeartbeatScope {
public:
    explicit HeartbeatScope(HeartbeatListener& listener)
        : state_(heartbeatState()), previous_(state_) {
        state_ = {&listener, 0};
    }
    ~HeartbeatScope() { state_ = previous_; }
    HeartbeatScope(const HeartbeatScope&) = delete;
    HeartbeatScope& operator=(const HeartbeatScope&) = delete;

private:
    HeartbeatState& state_;
    HeartbeatState previous_;
};

}  // namespace cv
