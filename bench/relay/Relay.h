// A TCP relay on loopback that stands for a network between a client and a server: every chunk
// it reads from either side is written to the other side a fixed one-way latency later. Chunks
// travel in order, and a chunk does not wait for the ones before it to be delivered: a chunk
// read at t is written at t + latency while later chunks are read meanwhile, so throughput is
// not bounded by the latency, as on a real link.
//
// It counts what crosses it: chunks and bytes each way, and the client's turnarounds, a
// client chunk that follows a server chunk (or opens a connection). A client that waits for
// each answer before it sends again turns around once per round trip, so the turnarounds count
// the round trips it waited for.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <memory>

namespace bench {

struct RelayCounts {
    std::uint64_t connections = 0;
    std::uint64_t chunksToServer = 0;
    std::uint64_t chunksToClient = 0;
    std::uint64_t bytesToServer = 0;
    std::uint64_t bytesToClient = 0;
    std::uint64_t turnarounds = 0;
};

// 127.0.0.1:`port`, the only address the relay listens on and connects to.
sockaddr_in loopbackAddress(std::uint16_t port);

class Relay {
public:
    // Listens on 127.0.0.1:`listenPort` (0: a free port) and relays every connection to
    // 127.0.0.1:`targetPort`, each chunk delayed by `oneWay` in each direction. Throws
    // std::runtime_error when it cannot listen.
    Relay(std::uint16_t targetPort, std::chrono::nanoseconds oneWay, std::uint16_t listenPort = 0);
    // Cuts every connection still open and stops.
    ~Relay();
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;

    std::uint16_t port() const;
    std::chrono::nanoseconds oneWay() const;
    RelayCounts counts() const;
    void resetCounts();

    struct State;

private:
    std::unique_ptr<State> state_;
};

}  // namespace bench
