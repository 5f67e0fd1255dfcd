#include "Heartbeat.h"

namespace cv {

HeartbeatState& heartbeatState() {
    static thread_local HeartbeatState state;
    return state;
}

}  // namespace cv
